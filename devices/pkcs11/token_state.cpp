#include "devices/pkcs11/token_state.h"

#include "storage/codes.h"

namespace vq {

int ClassifyLocks(bool userPinLocked, bool pukLocked, std::optional<DeviceCode> ending) {
    if (userPinLocked && pukLocked) return code::kPinAndPukLocked;
    if (ending == DeviceCode::UserPin && userPinLocked) return code::kPinLocked;
    if (ending == DeviceCode::Puk && pukLocked) return code::kPukLocked;
    return code::kOk;
}

int ClassifyDeviceState(const TokenState& state, std::optional<DeviceCode> ending) {
    if (!state.Initialised()) return code::kNotInitialised;
    return ClassifyLocks(state.userPinLocked, state.pukLocked, ending);
}

int ClassifyFailedLogin(const TokenState& state, DeviceCode tried, int loginCode) {
    const bool saysLocked = loginCode == code::kPinLocked;
    return ClassifyLocks(state.userPinLocked || (tried == DeviceCode::UserPin && saysLocked),
                         state.pukLocked || (tried == DeviceCode::Puk && saysLocked), tried);
}

}  // namespace vq
