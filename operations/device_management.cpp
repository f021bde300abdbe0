// The component's device management and key generation operations.
// The device layer first: Qt defines "slots" as a keyword, and the device entries use the word.
#include "operations/device_flows.h"

#include "dialogs/entry.h"
#include "dialogs/gen_key_dlg.h"
#include "dialogs/password_dialog.h"
#include "operations/keys_storage_comp.h"
#include "platform/ui/ui.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

// The dialogs a person answers.
class DialogFlowUi final : public IDeviceFlowUi {
  public:
    int PinDialog(int, bool, SecureString&, SecureString&) override { return ui::kIdCancel; }
    int InitDialog(SecureString&, SecureString&) override { return ui::kIdCancel; }
    int PinPrompt(SecureString& pin) override {
        return PromptPassword(CPasswordDialog::kPinMode, "", pin);
    }
    std::unique_ptr<IKeyRemovalChooser> RemovalChooser() override { return nullptr; }
};

}  // namespace

void CKeysStorageComp::SetDeviceFlowUi(std::unique_ptr<IDeviceFlowUi> ui) {
    flowUi_ = std::move(ui);
}

CPSA& CKeysStorageComp::DeviceObject() {
    CPSA* shared = devices_->Device();
    if (shared) return *shared;
    if (!ownDevice_) ownDevice_ = std::make_unique<CPSA>();
    return *ownDevice_;
}

OpResult CKeysStorageComp::InitializeCardOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), *this, *flowUi_).Initialise();
}

OpResult CKeysStorageComp::ChangePinOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), *this, *flowUi_).ChangePin();
}

OpResult CKeysStorageComp::ChangePukOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), *this, *flowUi_).ChangePuk();
}

OpResult CKeysStorageComp::UnblockCardOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), *this, *flowUi_).Unblock();
}

OpResult CKeysStorageComp::RemoveKeysOperation(int deviceKind) {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), *this, *flowUi_).RemoveKeys(deviceKind);
}

OpResult CKeysStorageComp::GenerateKeyOperation(const char* parameters) {
    if (!devices_->TokenDriverInstalled() && !devices_->SmartCardDriverInstalled())
        return {code::kNoDriver};
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    CPSA& device = DeviceObject();

    CGenKeyDlg dialog;
    if (dialog.SetUp(*this, device, parameters) != code::kOk) return {code::kInvalidArgument};
    dialog.SetDialogVariant(dialogVariant_);
    dialog.SetInitialise([this, &device] {
        DeviceFlows flows(device, *this, *flowUi_);
        const int code = flows.InitialiseOpenDevice().code;
        // The initialisation leaves the security officer logged in: the PIN login of the
        // generation needs a fresh session.
        if (device.session() != 0) device.CloseSession();
        return code;
    });
    dialog.SetKeySize(1024);
    if (dialog.DoModal() != ui::kIdOk) return {code::kCancelled};

    OpResult r;
    r.code = dialog.ResultCode();
    r.kind = CGenKeyDlg::KindOfLocation(dialog.Location());
    if (r.code == code::kOk) {
        r.fields = {HexEncode(Win1250ToIso(dialog.KeyName())), dialog.PrivateKey(),
                    dialog.PublicKey(), dialog.Fingerprint()};
    } else if (r.code == code::kPinAndPukLocked) {
        r.keyList = MapDeviceKeyList(*this, dialog.Code91Value());
    }
    return r;
}

}  // namespace vq
