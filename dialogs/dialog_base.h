// Base of every dialog: built from its template in resources/, controls addressed by id, modal runs
// through the user-interface seam, and the dialog conventions (Enter is OK, Esc and the close box
// are Cancel, buttons 1 and 2 are OK and Cancel).
#pragma once

#include <QDialog>
#include <QFont>
#include <QRect>
#include <QString>
#include <map>
#include <string>
#include <string_view>

#include "resources/dialog_templates.h"
#include "storage/secure.h"

namespace vq {

// Texts of the component (code page) to Qt and back.
QString Qs(std::string_view ansi);
// Code page bytes of a typed secret; characters the code page lacks become '?'.
SecureString SecureAnsi(const QString& text);
// Registers stand-ins for the fonts the templates name (Tahoma, Arial CE); idempotent.
void EnsureDialogFonts();

class CDialogBase : public QDialog {
    Q_OBJECT
  public:
    explicit CDialogBase(int resourceId, QWidget* parent = nullptr);
    ~CDialogBase() override;

    // Runs the dialog modally through the current user interface: 1 OK, 2 Cancel.
    int DoModal();
    int ResourceId() const { return resourceId_; }

    QWidget* Control(int id) const;
    template <class T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }
    // Dialog units of the template to pixels, with the dialog font's base units.
    QRect MapDialogRect(const QRect& dlu) const;
    int BaseUnitX() const { return baseX_; }
    int BaseUnitY() const { return baseY_; }

  public slots:
    void accept() override { OnOK(); }
    void reject() override { OnCancel(); }

  protected:
    // Runs once when the window first shows: texts, layout. Texts are looked up here so that a
    // dialog opened after a language change shows the new language.
    virtual void OnInitDialog() {}
    virtual void OnOK() { done(1); }
    virtual void OnCancel() { done(2); }
    // A button other than OK and Cancel was clicked.
    virtual void OnCommand(int /*id*/) {}

    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void Build(const DialogTemplate& t);

    int resourceId_;
    std::map<int, QWidget*> controls_;
    int baseX_ = 6;
    int baseY_ = 13;
    bool initialised_ = false;
};

}  // namespace vq
