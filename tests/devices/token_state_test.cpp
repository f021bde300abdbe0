// The one reading of the user PIN and PUK locks that the flows share.
#include "devices/pkcs11/token_state.h"

#include <gtest/gtest.h>

#include "storage/codes.h"

namespace vq {
namespace {

constexpr auto kPin = DeviceCode::UserPin;
constexpr auto kPuk = DeviceCode::Puk;

TEST(LockClassification, FourFlagCombinationsForEachEndingCode) {
    struct Row {
        bool pinLocked, pukLocked;
        int endingPin, endingPuk, bothOnly;
    } rows[] = {
        {false, false, code::kOk, code::kOk, code::kOk},
        {true, false, code::kPinLocked, code::kOk, code::kOk},
        {false, true, code::kOk, code::kPukLocked, code::kOk},
        {true, true, code::kPinAndPukLocked, code::kPinAndPukLocked, code::kPinAndPukLocked},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(::testing::Message()
                     << "PIN locked " << r.pinLocked << ", PUK locked " << r.pukLocked);
        EXPECT_EQ(ClassifyLocks(r.pinLocked, r.pukLocked, kPin), r.endingPin);
        EXPECT_EQ(ClassifyLocks(r.pinLocked, r.pukLocked, kPuk), r.endingPuk);
        EXPECT_EQ(ClassifyLocks(r.pinLocked, r.pukLocked, std::nullopt), r.bothOnly);
        // An initialised device reads the same; an uninitialised one is 120 whatever is locked.
        const TokenState ready{true, true, r.pinLocked, r.pukLocked};
        EXPECT_EQ(ClassifyDeviceState(ready, kPin), r.endingPin);
        EXPECT_EQ(ClassifyDeviceState(ready, kPuk), r.endingPuk);
        for (const TokenState blank : {TokenState{false, true, r.pinLocked, r.pukLocked},
                                       TokenState{true, false, r.pinLocked, r.pukLocked}}) {
            EXPECT_EQ(ClassifyDeviceState(blank, kPin), code::kNotInitialised);
            EXPECT_EQ(ClassifyDeviceState(blank, std::nullopt), code::kNotInitialised);
        }
    }
}

TEST(LockClassification, AFailedLoginsOwnLockCountsForTheTriedCodeOnly) {
    const TokenState free{};
    const TokenState pinLocked{true, true, true, false};
    const TokenState pukLocked{true, true, false, true};
    // The module says "locked" before the flags do.
    EXPECT_EQ(ClassifyFailedLogin(free, kPin, code::kPinLocked), code::kPinLocked);
    EXPECT_EQ(ClassifyFailedLogin(free, kPuk, code::kPinLocked), code::kPukLocked);
    EXPECT_EQ(ClassifyFailedLogin(pukLocked, kPin, code::kPinLocked), code::kPinAndPukLocked);
    EXPECT_EQ(ClassifyFailedLogin(pinLocked, kPuk, code::kPinLocked), code::kPinAndPukLocked);
    // Any other answer leaves the flags alone.
    EXPECT_EQ(ClassifyFailedLogin(free, kPin, code::kWrongPin), code::kOk);
    EXPECT_EQ(ClassifyFailedLogin(pukLocked, kPin, code::kWrongPin), code::kOk);
    EXPECT_EQ(ClassifyFailedLogin(pinLocked, kPin, code::kWrongPin), code::kPinLocked);
    EXPECT_EQ(ClassifyFailedLogin(pinLocked, kPuk, code::kWrongPuk), code::kOk);
    EXPECT_EQ(ClassifyFailedLogin(pukLocked, kPuk, code::kWrongPuk), code::kPukLocked);
    EXPECT_EQ(ClassifyFailedLogin(TokenState{true, true, true, true}, kPuk, code::kWrongPuk),
              code::kPinAndPukLocked);
    // The PUK's own "locked" (131) is no stand-in for the user PIN's.
    EXPECT_EQ(ClassifyFailedLogin(pinLocked, kPin, code::kPukLocked), code::kPinLocked);
    EXPECT_EQ(ClassifyFailedLogin(free, kPuk, code::kPukLocked), code::kOk);
}

}  // namespace
}  // namespace vq
