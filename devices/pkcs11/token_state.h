// What ReadTokenState finds out about a device's codes, and the one reading of the user PIN and
// PUK locks that every flow shares (codes 120, 91, 64 and 131).
#pragma once

#include <optional>

namespace vq {

struct TokenState {
    bool tokenReady = true;  // token and user PIN both initialised
    bool userPinInitialised = true;
    bool userPinLocked = false;
    bool pukLocked = false;        // the PUK is the security officer's PIN
    bool tokenInitialised = true;  // the token alone (CKF_TOKEN_INITIALIZED), PIN or not

    bool Initialised() const { return tokenReady && userPinInitialised; }
};

// The two codes of a device.
enum class DeviceCode { UserPin, Puk };

// Both codes locked: 91. Otherwise, when the code that `ending` names is locked: 64 for the user
// PIN, 131 for the PUK. Otherwise 0. Without `ending` only both locked ends a task.
int ClassifyLocks(bool userPinLocked, bool pukLocked, std::optional<DeviceCode> ending);

// Before the user is asked for a code: 120 when the device is not initialised, else
// ClassifyLocks over its flags.
int ClassifyDeviceState(const TokenState& state, std::optional<DeviceCode> ending);

// After a login with `tried` failed with `loginCode` and the state was read again: the module's
// own "locked" (64) counts as `tried` locked, whatever the flags say yet. 91, 64, 131 or 0 as
// ClassifyLocks with `tried` as the ending code.
int ClassifyFailedLogin(const TokenState& state, DeviceCode tried, int loginCode);

}  // namespace vq
