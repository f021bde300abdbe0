// The device management flows: change PIN, change PUK, unblock, initialise and remove keys. Each
// opens a device through the device object, checks its PIN state, asks the user for codes, runs
// one device task and always closes the session and unloads the module before it returns.
#pragma once

#include <memory>
#include <string>

#include "devices/device_ui.h"
#include "devices/key_list.h"
#include "devices/psa.h"
#include "operations/keys_storage_comp.h"
#include "storage/key_storage.h"
#include "storage/secure.h"

namespace vq {

// What the flows ask of the user besides message boxes (those go through the user-interface
// seam). The dialogs of the device layer implement it; tests script it.
class IDeviceFlowUi {
  public:
    // CPinDlg modes.
    static constexpr int kChangePin = 0;
    static constexpr int kChangePuk = 1;
    static constexpr int kUnblockCard = 2;
    static constexpr int kUnblockToken = 5;

    virtual ~IDeviceFlowUi() = default;
    // CPinDlg in `mode` (`token`: the device is a USB token). On OK (1) `oldCode` holds the
    // current code and `newCode` the new one; any other result is a cancel.
    virtual int PinDialog(int mode, bool token, SecureString& oldCode, SecureString& newCode) = 0;
    // CPinPukDlg: the new PUK and the new PIN of a device being initialised; 1 OK.
    virtual int InitDialog(SecureString& puk, SecureString& pin) = 0;
    // The password dialog in PIN mode with an empty field: 1 OK, else the dialog's result.
    virtual int PinPrompt(SecureString& pin) = 0;
    // A fresh key removal choice (CRemoveDlg) for one removal.
    virtual std::unique_ptr<IKeyRemovalChooser> RemovalChooser() = 0;
    // The device choice when two or more devices are usable; none: such a choice is a cancel.
    virtual IDeviceChooser* DeviceChooser() { return nullptr; }
};

// The unblock on the open device once the user gave the PUK and the new PIN: security-officer
// login (the PUK is wiped right after), then the new user PIN (wiped after). 0, 91 with the
// device's key list in `deviceKeyList`, 131, or the device's code.
int UnblockWithCodes(CPSA& psa, SecureString& puk, SecureString& newPin,
                     std::string& deviceKeyList);

class DeviceFlows {
  public:
    DeviceFlows(CPSA& psa, const CKeysStorage& keys, IDeviceFlowUi& ui)
        : psa_(psa), keys_(keys), ui_(ui) {}

    OpResult ChangePin();
    OpResult ChangePuk();
    OpResult Unblock();
    // The key list (keys the initialisation erases) is set once the device state could be read.
    OpResult Initialise();
    OpResult RemoveKeys(DeviceKind deviceKind);

    // Initialisation on a device that is already open with its state read (the key generation
    // dialog offers it for a device that is not initialised): warning, dialog, device calls.
    // Leaves the device open; the caller closes it.
    OpResult InitialiseOpenDevice();

  private:
    // SelectDevice with the user's device choice.
    int Select(DeviceKind deviceKind);
    // SelectDevice and ReadTokenState; 0 or the failing code.
    int OpenAndRead(DeviceKind deviceKind);
    void Close();
    // The device's key list mapped to key set identifiers (code 91 payload).
    std::string MappedKeyList();
    // `lock` as the flow's code; with 91 the key list goes with it.
    int Locked(int lock, OpResult& r);
    // A login with `tried` failed with `login`: 91 with the key list when both codes are locked
    // now, else the login's code.
    int FailedLogin(DeviceCode tried, int login, OpResult& r);

    CPSA& psa_;
    const CKeysStorage& keys_;
    IDeviceFlowUi& ui_;
};

}  // namespace vq
