#include "operations/psa_backend.h"

#include "dialogs/devices/pin_dlg.h"
#include "dialogs/devices/select_reader_dlg.h"
#include "operations/device_flows.h"
#include "platform/ui/ui.h"
#include "storage/cfg_reg.h"
#include "storage/codes.h"

namespace vq {
CPsaBackend::~CPsaBackend() {
    LogoutAndClose();
}

int CPsaBackend::Open(DeviceKind deviceKind) {
    CDeviceChoice chooser;
    psa_.SetDeviceChooser(&chooser);
    CK_SLOT_ID slot = 0;
    const int code = psa_.SelectDevice(deviceKind, &slot);
    psa_.SetDeviceChooser(nullptr);
    return code;
}

int CPsaBackend::ReadState(DeviceState& state) {
    const int code = psa_.ReadTokenState();
    if (code != code::kOk) return code;
    state.tokenInitialised = psa_.tokenReady();
    state.userPinInitialised = psa_.userPinInitialised();
    state.userPinLocked = psa_.userPinLocked();
    state.pukLocked = psa_.pukLocked();
    return code::kOk;
}

int CPsaBackend::SilentUnblock(std::string& keyList) {
    SecureString puk, pin;
    const int mode = psa_.tokenFlag() == 1 ? 5 : 2;
    if (PinEntry(mode, psa_.tokenFlag(), puk, pin) != ui::kIdOk) return code::kCancelled;
    const int code = UnblockWithCodes(psa_, puk, pin, keyList);
    // The signature that follows logs in as the user: the security officer must leave first.
    Logout();
    return code;
}

int CPsaBackend::Sign(const std::string& label, const std::string& fingerprint,
                      const SecureString& pin, std::span<const unsigned char> data, int mode,
                      SecureBytes& out) {
    return psa_.DeviceSign(label.c_str(), fingerprint.c_str(), &pin, data.data(), data.size(), mode,
                           out);
}

int CPsaBackend::ListKeys(std::string& keyList) {
    return psa_.ListKeys(keyList);
}

void CPsaBackend::Logout() {
    if (psa_.session() != 0) psa_.cryptoki().Call(&CK_FUNCTION_LIST::C_Logout, psa_.session());
}

void CPsaBackend::LogoutAndClose() {
    Logout();
    if (psa_.session() != 0) psa_.CloseSession();
    psa_.UnloadModule();
}

bool CPsaBackend::SmartCardDriverInstalled() const {
    return CKeywrightUtils().SmartCardsEnabled();
}

bool CPsaBackend::TokenDriverInstalled() const {
    return CKeywrightUtils().UsbTokensEnabled();
}

void CPsaBackend::SetCardModels(const std::string& models) {
    // The list only grows; a shorter one starts over.
    if (models.size() < modelsSeen_) modelsSeen_ = 0;
    std::size_t start = modelsSeen_;
    for (std::size_t bar; (bar = models.find('|', start)) != std::string::npos; start = bar + 1) {
        const std::string name = models.substr(start, bar - start);
        if (name.empty()) continue;
        bool known = false;
        for (int i = 0; i < psa_.modelCount() && !known; ++i) known = psa_.modelName(i) == name;
        if (!known) psa_.AddModelName(name.c_str());
    }
    modelsSeen_ = start;
}

}  // namespace vq
