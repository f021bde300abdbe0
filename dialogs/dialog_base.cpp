#include "dialogs/dialog_base.h"

#include <openssl/crypto.h>

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"

namespace vq {

QString Qs(std::string_view ansi) {
    return QString::fromStdString(cp::AnsiToUtf8(ansi));
}

SecureString SecureAnsi(const QString& text) {
    QByteArray utf8 = text.toUtf8();
    auto ansi = cp::Utf8ToAnsi(std::string_view(utf8.constData(), utf8.size()));
    OPENSSL_cleanse(utf8.data(), utf8.size());
    SecureString out;
    if (ansi) {
        out.assign(*ansi);
        OPENSSL_cleanse(ansi->data(), ansi->size());
    }
    return out;
}

void EnsureDialogFonts() {
    static const bool done = [] {
        // Tahoma and Arial CE are Windows fonts; these are their closest free relatives.
        QFont::insertSubstitutions("Tahoma", {"DejaVu Sans", "Liberation Sans"});
        QFont::insertSubstitutions("MS Shell Dlg", {"DejaVu Sans", "Liberation Sans"});
        QFont::insertSubstitutions("Arial CE", {"Liberation Sans", "DejaVu Sans"});
        return true;
    }();
    (void)done;
}

namespace {

// Windows sizes dialog fonts in points at 96 pixels per inch.
int PointsToPixels(int points) {
    return (points * 96 + 36) / 72;
}

const char* KindName(ControlKind kind) {
    switch (kind) {
        case ControlKind::kStatic:
            return "static";
        case ControlKind::kEdit:
            return "edit";
        case ControlKind::kButton:
        case ControlKind::kDefaultButton:
            return "button";
        case ControlKind::kCheckBox:
            return "check";
        case ControlKind::kRadioButton:
            return "radio";
        case ControlKind::kGroupBox:
            return "group";
        case ControlKind::kListBox:
        case ControlKind::kListView:
            return "list";
        case ControlKind::kComboBox:
            return "combo";
        case ControlKind::kCustom:
            break;
    }
    return "custom";
}

}  // namespace

CDialogBase::CDialogBase(int resourceId, QWidget* parent)
    : QDialog(parent), resourceId_(resourceId) {
    EnsureDialogFonts();
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    if (const DialogTemplate* t = FindDialogTemplate(resourceId)) Build(*t);
}

CDialogBase::~CDialogBase() = default;

void CDialogBase::Build(const DialogTemplate& t) {
    QFont font(t.fontName);
    font.setPixelSize(PointsToPixels(t.fontPoints));
    setFont(font);
    // Base units as Windows derives them from the dialog font.
    const QFontMetrics fm(font);
    const int avg = fm.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX_ = (avg / 26 + 1) / 2;
    baseY_ = fm.height();
    setWindowTitle(QString::fromUtf8(t.caption));
    setFixedSize(MapDialogRect(QRect(0, 0, t.cx, t.cy)).size());

    for (const ControlTemplate& c : t.controls) {
        QWidget* w = nullptr;
        const QString text = QString::fromUtf8(c.text);
        switch (c.kind) {
            case ControlKind::kStatic: {
                auto* l = new QLabel(text, this);
                l->setWordWrap(c.styles & style::kWordWrap);
                l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
                w = l;
                break;
            }
            case ControlKind::kEdit: {
                auto* e = new QLineEdit(text, this);
                if (c.styles & style::kPassword) {
                    e->setEchoMode(QLineEdit::Password);
                    // Windows edits mask with '*'.
                    e->setStyleSheet("lineedit-password-character: 42");
                }
                e->setReadOnly(c.styles & style::kReadOnly);
                w = e;
                break;
            }
            case ControlKind::kButton:
            case ControlKind::kDefaultButton: {
                auto* b = new QPushButton(text, this);
                b->setAutoDefault(false);
                b->setDefault(c.kind == ControlKind::kDefaultButton);
                const int id = c.id;
                connect(b, &QPushButton::clicked, this, [this, id] {
                    if (id == 1)
                        OnOK();
                    else if (id == 2)
                        OnCancel();
                    else
                        OnCommand(id);
                });
                w = b;
                break;
            }
            case ControlKind::kCheckBox:
                w = new QCheckBox(text, this);
                break;
            case ControlKind::kRadioButton:
                w = new QRadioButton(text, this);
                break;
            case ControlKind::kGroupBox:
                w = new QGroupBox(text, this);
                break;
            case ControlKind::kListBox: {
                auto* l = new QListWidget(this);
                if (c.styles & style::kMultiSelect)
                    l->setSelectionMode(QAbstractItemView::MultiSelection);
                w = l;
                break;
            }
            case ControlKind::kListView: {
                auto* v = new QTreeWidget(this);
                v->setRootIsDecorated(false);
                if (c.styles & style::kMultiSelect)
                    v->setSelectionMode(QAbstractItemView::MultiSelection);
                w = v;
                break;
            }
            case ControlKind::kComboBox:
                w = new QComboBox(this);
                break;
            case ControlKind::kCustom:
                w = new QWidget(this);
                break;
        }
        w->setGeometry(MapDialogRect(QRect(c.x, c.y, c.cx, c.cy)));
        w->setProperty("vq_id", c.id);
        w->setProperty("vq_kind", KindName(c.kind));
        w->setEnabled(!(c.styles & style::kDisabled));
        if (c.styles & style::kHidden) w->hide();
        controls_[c.id] = w;
    }
}

QRect CDialogBase::MapDialogRect(const QRect& dlu) const {
    const auto mx = [&](int v) { return v * baseX_ / 4; };
    const auto my = [&](int v) { return v * baseY_ / 8; };
    return QRect(mx(dlu.x()), my(dlu.y()), mx(dlu.width()), my(dlu.height()));
}

QWidget* CDialogBase::Control(int id) const {
    const auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

int CDialogBase::DoModal() {
    return ui::Current().RunModal(*this, resourceId_);
}

void CDialogBase::showEvent(QShowEvent* event) {
    if (!initialised_) {
        initialised_ = true;
        OnInitDialog();
    }
    QDialog::showEvent(event);
}

void CDialogBase::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter: {
            // The default button if there is one, else OK, as in any dialog.
            for (QPushButton* b : findChildren<QPushButton*>()) {
                if (b->isDefault() && b->isVisible()) {
                    if (b->isEnabled()) b->click();
                    return;
                }
            }
            OnOK();
            return;
        }
        case Qt::Key_Escape:
            OnCancel();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

}  // namespace vq
