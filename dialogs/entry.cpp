#include "dialogs/entry.h"

#include "dialogs/keyboard_dlg.h"
#include "dialogs/password_dialog.h"
#include "storage/codes.h"
#include "storage/key_storage.h"

namespace vq {

int PromptPassword(int mode, std::string_view subject, SecureString& password) {
    CPasswordDialog dialog;
    dialog.SetMode(mode);
    dialog.SetSubject(subject);
    const int result = dialog.DoModal();
    password = dialog.Password();
    dialog.Wipe();
    return result;
}

int PasswordEntry(int locationType, std::string_view subject, SecureString& password) {
    const bool device = locationType == kind::kSmartCard || locationType == kind::kUsbToken;
    return PromptPassword(device ? CPasswordDialog::kPinMode : CPasswordDialog::kKeyPasswordMode,
                          subject, password);
}

int ShowKeyboard(SecureString& text) {
    CKeyboardDlg keyboard;
    if (keyboard.DoModal() != 1) return code::kCancelled;
    text = keyboard.Text();
    return code::kOk;
}

}  // namespace vq
