// The component's device management and key generation operations.
#include "dialogs/devices/pin_dlg.h"
#include "dialogs/devices/pin_puk_dlg.h"
#include "dialogs/devices/remove_dlg.h"
#include "dialogs/devices/select_reader_dlg.h"
#include "dialogs/entry.h"
#include "dialogs/gen_key_dlg.h"
#include "dialogs/password_dialog.h"
#include "operations/device_flows.h"
#include "operations/key_generation.h"
#include "operations/keys_storage_comp.h"
#include "platform/ui/ui.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

// The dialogs a person answers.
class DialogFlowUi final : public IDeviceFlowUi {
  public:
    int PinDialog(int mode, bool token, SecureString& oldCode, SecureString& newCode) override {
        return PinEntry(mode, token ? 1 : 0, oldCode, newCode);
    }
    int InitDialog(SecureString& puk, SecureString& pin) override {
        CPinPukDlg dialog;
        const int result = dialog.DoModal();
        if (result == ui::kIdOk) {
            puk = dialog.NewPuk();
            pin = dialog.NewPin();
        }
        dialog.Wipe();
        return result;
    }
    int PinPrompt(SecureString& pin) override {
        return PromptPassword(CPasswordDialog::kPinMode, "", pin);
    }
    std::unique_ptr<IKeyRemovalChooser> RemovalChooser() override {
        return std::make_unique<CRemoveDlg>();
    }
    IDeviceChooser* DeviceChooser() override { return &chooser_; }

  private:
    CDeviceChoice chooser_;
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
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).Initialise();
}

OpResult CKeysStorageComp::ChangePinOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).ChangePin();
}

OpResult CKeysStorageComp::ChangePukOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).ChangePuk();
}

OpResult CKeysStorageComp::UnblockCardOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).Unblock();
}

OpResult CKeysStorageComp::RemoveKeysOperation(int deviceKind) {
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).RemoveKeys(deviceKind);
}

OpResult CKeysStorageComp::GenerateKeyOperation(const char* parameters) {
    if (!devices_->TokenDriverInstalled() && !devices_->SmartCardDriverInstalled())
        return {code::kNoDriver};
    if (!flowUi_) flowUi_ = std::make_unique<DialogFlowUi>();
    CPSA& device = DeviceObject();

    KeyGenerationFlow flow(device, keys_);
    if (flow.SetUp(parameters) != code::kOk) return {code::kInvalidArgument};
    flow.SetInitialise([this, &device] {
        DeviceFlows flows(device, keys_, *flowUi_);
        const int code = flows.InitialiseOpenDevice().code;
        // The initialisation leaves the security officer logged in: the PIN login of the
        // generation needs a fresh session.
        if (device.session() != 0) device.CloseSession();
        return code;
    });
    flow.SetKeySize(1024);
    CGenKeyDlg dialog;
    dialog.SetFlow(&flow);
    // The device choice runs on this thread only: the flow selects the device before its
    // worker starts, so the worker finds the session open and never has to ask.
    device.SetDeviceChooser(flowUi_->DeviceChooser());
    const int shown = dialog.DoModal();
    device.SetDeviceChooser(nullptr);
    if (shown != ui::kIdOk) return {code::kCancelled};

    OpResult r;
    r.code = flow.ResultCode();
    r.kind = KindOfLocation(flow.Location());
    if (r.code == code::kOk) {
        r.fields = {HexEncode(Win1250ToIso(flow.KeyName())), flow.PrivateKey(), flow.PublicKey(),
                    flow.Fingerprint()};
    } else if (r.code == code::kPinAndPukLocked) {
        r.keyList = MapDeviceKeyList(keys_, flow.Code91Value());
    }
    return r;
}

}  // namespace vq
