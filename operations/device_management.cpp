// The component's device management and key generation operations.
#include "operations/device_flows.h"
#include "operations/key_generation.h"
#include "operations/keys_storage_comp.h"
#include "platform/ui/ui.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

// Without the control's dialogs every question counts as cancelled.
class NoFlowUi final : public IDeviceFlowUi {
  public:
    int PinDialog(int, bool, SecureString&, SecureString&) override { return ui::kIdCancel; }
    int InitDialog(SecureString&, SecureString&) override { return ui::kIdCancel; }
    int PinPrompt(SecureString&) override { return ui::kIdCancel; }
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
    if (!flowUi_) flowUi_ = std::make_unique<NoFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).Initialise();
}

OpResult CKeysStorageComp::ChangePinOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<NoFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).ChangePin();
}

OpResult CKeysStorageComp::ChangePukOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<NoFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).ChangePuk();
}

OpResult CKeysStorageComp::UnblockCardOperation() {
    if (!flowUi_) flowUi_ = std::make_unique<NoFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).Unblock();
}

OpResult CKeysStorageComp::RemoveKeysOperation(DeviceKind deviceKind) {
    if (!flowUi_) flowUi_ = std::make_unique<NoFlowUi>();
    return DeviceFlows(DeviceObject(), keys_, *flowUi_).RemoveKeys(deviceKind);
}

OpResult CKeysStorageComp::GenerateKeyOperation(const char* parameters) {
    if (!devices_->TokenDriverInstalled() && !devices_->SmartCardDriverInstalled())
        return {code::kNoDriver};
    if (!flowUi_) flowUi_ = std::make_unique<NoFlowUi>();
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
    // The device choice runs on this thread only: the flow selects the device before its
    // worker starts, so the worker finds the session open and never has to ask.
    device.SetDeviceChooser(flowUi_->DeviceChooser());
    const int shown = runKeyGeneration_ ? runKeyGeneration_(flow) : ui::kIdCancel;
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
