#include "dialogs/devices/device_flow_dialogs.h"

#include "dialogs/devices/pin_dlg.h"
#include "dialogs/devices/pin_puk_dlg.h"
#include "dialogs/devices/remove_dlg.h"
#include "dialogs/entry.h"
#include "dialogs/password_dialog.h"
#include "platform/ui/ui.h"

namespace vq {

int CDeviceFlowDialogs::PinDialog(int mode, bool token, SecureString& oldCode,
                                  SecureString& newCode) {
    return PinEntry(mode, token ? 1 : 0, oldCode, newCode);
}

int CDeviceFlowDialogs::InitDialog(SecureString& puk, SecureString& pin) {
    CPinPukDlg dialog;
    const int result = dialog.DoModal();
    if (result == ui::kIdOk) {
        puk = dialog.NewPuk();
        pin = dialog.NewPin();
    }
    dialog.Wipe();
    return result;
}

int CDeviceFlowDialogs::PinPrompt(SecureString& pin) {
    return PromptPassword(CPasswordDialog::kPinMode, "", pin);
}

std::unique_ptr<IKeyRemovalChooser> CDeviceFlowDialogs::RemovalChooser() {
    return std::make_unique<CRemoveDlg>();
}

}  // namespace vq
