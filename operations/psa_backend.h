// The signing flow's device back end over the device layer (CPSA): device choice through
// CSelectReaderDlg, the unblock flow through CPinDlg, driver switches from the machine registry.
#pragma once

#include <cstddef>

#include "devices/psa.h"
#include "operations/backends.h"

namespace vq {

class CPsaBackend final : public IDeviceBackend {
  public:
    CPsaBackend() = default;
    ~CPsaBackend() override;

    // SelectDevice of the kind (the user chooses among two or more devices); the chosen device's
    // session is open afterwards.
    int Open(DeviceKind deviceKind) override;
    int ReadState(DeviceState& state) override;
    // Unblock on the open device: PUK and new PIN asked with CPinDlg (mode 5 for a USB token,
    // 2 otherwise), security-officer login, new user PIN. 0, 8 (cancelled), 91 with the device's
    // key list, 131, or the device's code. The session stays open, logged out, for the caller.
    int SilentUnblock(std::string& keyList) override;
    int Sign(const std::string& label, const std::string& fingerprint, const SecureString& pin,
             std::span<const unsigned char> data, int mode, SecureBytes& out) override;
    int ListKeys(std::string& keyList) override;
    // Logs out, closes the session and unloads the module.
    void LogoutAndClose() override;
    bool SmartCardDriverInstalled() const override;
    bool TokenDriverInstalled() const override;
    // Models are "name|" records; each new one is added to the device's card model table.
    void SetCardModels(const std::string& models) override;

    CPSA& psa() { return psa_; }
    CPSA* Device() override { return &psa_; }

  private:
    void Logout();

    CPSA psa_;
    std::size_t modelsSeen_ = 0;  // characters of the model list already handed over
};

}  // namespace vq
