// The dialogs a person answers in the device management flows: the PIN dialog, the new PUK and
// PIN of an initialisation, the PIN prompt, the key removal choice and the device choice. The
// control hands them to its component.
#pragma once

#include "dialogs/devices/select_reader_dlg.h"
#include "operations/device_flows.h"

namespace vq {

class CDeviceFlowDialogs final : public IDeviceFlowUi {
  public:
    int PinDialog(int mode, bool token, SecureString& oldCode, SecureString& newCode) override;
    int InitDialog(SecureString& puk, SecureString& pin) override;
    int PinPrompt(SecureString& pin) override;
    std::unique_ptr<IKeyRemovalChooser> RemovalChooser() override;
    IDeviceChooser* DeviceChooser() override { return &chooser_; }

  private:
    CDeviceChoice chooser_;
};

}  // namespace vq
