// CSignDlg: the order signing dialog. Shows the order the page wants signed as a table (or as the
// raw text), lists the keys the page allows, takes the password or PIN when the signing dialog
// variant asks for it here, and reports the Sign button to its SignSession, which runs the signing
// attempts and tells the dialog (its ISignView) what to show. Also serves without an order (log-in
// challenge: key choice and password only).
#pragma once

#include <QString>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dialogs/dialog_base.h"
#include "dialogs/order_text.h"
#include "operations/sign_session.h"
#include "storage/secure.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace vq {

class CColoredListCtrl;

class CSignDlg : public CDialogBase, public ISignView {
    Q_OBJECT
  public:
    // Control ids of the template.
    static constexpr int kIdGroup = 225;
    static constexpr int kIdFormatted = 205;
    static constexpr int kIdBeingSigned = 206;
    static constexpr int kIdTable = 204;
    static constexpr int kIdRawView = 207;
    static constexpr int kIdExpand = 232;
    static constexpr int kIdTopSeparator = 233;
    static constexpr int kIdLowerSeparator = 234;
    static constexpr int kIdKeyLabel = 226;
    static constexpr int kIdKeyList = 208;
    static constexpr int kIdPasswordLabel = 227;
    static constexpr int kIdPassword = 213;
    static constexpr int kIdKeyboard = 3;
    static constexpr int kIdLoginNote = 254;
    static constexpr int kIdIcon = 228;

    // Longest password and PIN the field accepts.
    static constexpr int kMaxPassword = 255;
    static constexpr int kMaxPin = 4;

    // A dialog with a session of its own.
    explicit CSignDlg(ISigningOperations& ops, QWidget* parent = nullptr);
    // A dialog around a session the caller has set up (and reads after the run).
    explicit CSignDlg(SignSession& session, QWidget* parent = nullptr);
    ~CSignDlg() override;

    // The flows' calls, in their order (see SignSession).
    int SetUp(std::string_view orderHex, std::string_view keyFilter,
              std::string_view preselectedKeyId) {
        setUpCode_ = session_.SetUp(orderHex, keyFilter, preselectedKeyId);
        return setUpCode_;
    }
    void SetData(std::span<const unsigned char> bytes) { session_.SetData(bytes); }
    void SelectKeyById() { session_.SelectKeyById(); }
    // A signing attempt without the window (silent use): no typed password.
    int SigningAttempt() { return session_.SigningAttempt(nullptr, nullptr); }

    void SetPurpose(int purpose) { session_.set_purpose(purpose); }
    void SetSilent(bool silent) { session_.set_silent(silent); }
    void SetNoOrder(bool noOrder) { session_.set_no_order(noOrder); }

    // Results, readable after the run.
    int ResultCode() const { return session_.resultCode(); }
    const std::string& ChosenKeyId() const { return session_.chosenKeyId(); }
    SecureBytes& Signature() { return session_.signature(); }
    const std::string& Code91Value() const { return session_.code91Value(); }
    SignSession& Session() { return session_; }
    const SignSession& Session() const { return session_; }

    // What the window shows (tests, screenshots).
    bool Expanded() const { return expanded_; }
    bool Multiline() const { return multiline_; }
    bool FormattedView() const;
    const std::string& DisplayText() const { return display_; }
    const std::string& MultilineText() const { return multilineText_; }
    CColoredListCtrl* Table() const { return table_; }
    QPlainTextEdit* RawView() const { return raw_; }
    QComboBox* KeyList() const { return keys_; }
    QLineEdit* PasswordField() const { return password_; }
    // Whether the raw text view got each scroll bar when it was sized.
    bool RawHorizontalBar() const { return rawHBar_; }
    bool RawVerticalBar() const { return rawVBar_; }

    // ISignView
    void WipePasswordField() override;
    void FocusPasswordField() override;
    void ShowMessage(int textId, ui::Icon icon) override;

  protected:
    void OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnCommand(int id) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    CSignDlg(std::unique_ptr<SignSession> own, SignSession* external, QWidget* parent);

    enum class RawText { kNone, kDisplay, kMultiline };

    void LoadTexts();
    void BuildOrderView();
    void FillTable(const ParsedOrder& order);
    void SizeRawView();
    void FillKeyList();
    void ApplySelection();
    void Layout();
    void SetView(bool formatted);
    void ShowRawText();
    QWidget* CurrentView() const;
    // Takes the field's text as the password, unless the field still shows the wipe mask.
    void TakePassword();
    void SetExpandButton();

    std::unique_ptr<SignSession> own_;
    SignSession& session_;

    CColoredListCtrl* table_ = nullptr;
    QPlainTextEdit* raw_ = nullptr;
    QGroupBox* group_ = nullptr;
    QRadioButton* formatted_ = nullptr;
    QRadioButton* beingSigned_ = nullptr;
    QPushButton* expand_ = nullptr;
    QLabel* topSeparator_ = nullptr;
    QLabel* lowerSeparator_ = nullptr;
    QLabel* keyLabel_ = nullptr;
    QComboBox* keys_ = nullptr;
    QLabel* passwordLabel_ = nullptr;
    QLineEdit* password_ = nullptr;
    QPushButton* keyboard_ = nullptr;
    QLabel* note_ = nullptr;
    QLabel* icon_ = nullptr;

    bool expanded_ = true;
    bool multiline_ = false;
    std::string display_;        // the order text in the code page, for display only
    std::string multilineText_;  // the values joined, in multiline mode
    QString displayQ_;
    QString multilineQ_;
    RawText rawShown_ = RawText::kNone;
    bool rawHBar_ = false;
    bool rawVBar_ = false;

    SecureString typed_;  // the password taken from the field
    // The field shows the wipe mask and has not been edited since: Sign reuses `typed_`.
    bool masked_ = false;
    int setUpCode_ = 0;

    friend int RunSignDialog(CSignDlg& dialog);
    // Shows the dialog around a session that the signing flow has set up (order mode, purpose,
    // inputs); the flow reads the result code, chosen key and signature from the session.
    int RunSignDialog(SignSession& session);
};

// Runs the dialog modally through the current user interface: 1 OK (read the result code), 2
// Cancel. After a failed set-up nothing is shown and the result is Cancel.
int RunSignDialog(CSignDlg& dialog);
// Shows the dialog around a session that the signing flow has set up (order mode, purpose,
// inputs); the flow reads the result code, chosen key and signature from the session.
int RunSignDialog(SignSession& session);

}  // namespace vq
