// CPasswordDialog: the prompt for one secret (key password, device PIN or log-in password).
#pragma once

#include <string>
#include <string_view>

#include "dialogs/dialog_base.h"
#include "storage/secure.h"

class QLineEdit;

namespace vq {

class CPasswordDialog : public CDialogBase {
    Q_OBJECT
  public:
    static constexpr int kKeyPasswordMode = -1;
    static constexpr int kPinMode = 1;
    static constexpr int kLoginMode = 3;
    static constexpr int kPinLength = 4;
    // The callers' buffers hold 1024 bytes with the terminating zero: longer input is not taken.
    static constexpr int kMaxPasswordLength = 1023;

    explicit CPasswordDialog(QWidget* parent = nullptr);
    ~CPasswordDialog() override;

    void SetMode(int mode) { mode_ = mode; }
    int Mode() const { return mode_; }
    void SetSubject(std::string_view subject) { subject_.assign(subject); }
    void SetPassword(std::string_view password);
    // The typed text after the run (also after Cancel).
    const SecureString& Password() const { return password_; }
    // Overwrites the password and the field with "########", then empties both.
    void Wipe();

    const std::string& Prompt() const { return prompt_; }

  protected:
    void OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void OnCommand(int id) override;

  private:
    void TakeText();

    int mode_ = kKeyPasswordMode;
    std::string subject_;
    std::string prompt_;
    SecureString password_;
    QLineEdit* edit_ = nullptr;
};

}  // namespace vq
