// What the signing flow needs from the device layer and from the user's certificate store. The
// component talks to them through these small interfaces so that each can be replaced by its
// real implementation as it is built, and faults can be staged in tests.
#pragma once

#include <span>
#include <string>

#include "devices/device_kind.h"
#include "storage/secure.h"

namespace vq {

class CPSA;

struct DeviceState {
    bool tokenInitialised = false;
    bool userPinInitialised = false;
    bool userPinLocked = false;
    bool pukLocked = false;
};

class IDeviceBackend {
  public:
    virtual ~IDeviceBackend() = default;
    // Selects a device of the kind and opens a session on it.
    virtual int Open(DeviceKind deviceKind) = 0;
    virtual int ReadState(DeviceState& state) = 0;
    // Unblock flow on the open device (PUK and new PIN asked from the user): 0, 91 or a code.
    virtual int SilentUnblock(std::string& keyList) = 0;
    // Signs (or decrypts, mode 1) with the key labelled `label` whose fingerprint is `fingerprint`.
    virtual int Sign(const std::string& label, const std::string& fingerprint,
                     const SecureString& pin, std::span<const unsigned char> data, int mode,
                     SecureBytes& out) = 0;
    // The device's key list ("prefix|\"fp1\"-\"fp2\"").
    virtual int ListKeys(std::string& keyList) = 0;
    virtual void LogoutAndClose() = 0;
    virtual bool SmartCardDriverInstalled() const = 0;
    virtual bool TokenDriverInstalled() const = 0;
    // The accepted card model list changed.
    virtual void SetCardModels(const std::string& models) = 0;
    // The device object behind the back end, shared with the device management flows; none
    // for a back end without one.
    virtual CPSA* Device() { return nullptr; }
};

class ICertStore {
  public:
    virtual ~ICertStore() = default;
    // Signs (mode 3) or decrypts (mode 1) with the private key of the certificate given as
    // armour; any other mode gives 1.
    virtual int Sign(int mode, const std::string& certificateArmour,
                     std::span<const unsigned char> data, SecureBytes& out) = 0;
};

}  // namespace vq
