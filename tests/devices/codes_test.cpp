// PIN and PUK operations, token state and the error table, against SoftHSM2 behind the fake
// module (which locks codes after three wrong tries).
#include <gtest/gtest.h>

#include "devices/psa.h"
#include "storage/codes.h"
#include "tests/fakes/test_env.h"

namespace vq {
namespace {

using testing::DeviceEnv;

constexpr const char* kAtr = "3B8F8001804F0CA000000306030001000000006A";

class Codes : public ::testing::Test {
  protected:
    void SetUp() override {
        env.UseFakes();
        env.InitToken("card");
        Configure("");
    }
    void Configure(const std::string& extra) {
        env.Write("pcsc.conf", std::string("reader Card Reader 00|") + kAtr + "\n");
        env.Write("p11.conf", std::string("backend ") + testing::kSoftHsm + "\nlog " +
                                  env.Path("p11.log") + "\nstate " + env.Path("p11.state") +
                                  "\nslot Card Reader 00|token=card\n" + extra);
    }
    void Open() {
        CK_SLOT_ID slot = 0;
        ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
        ASSERT_EQ(psa.ReadTokenState(), code::kOk);
    }
    void Close() {
        psa.CloseSession();
        psa.UnloadModule();
    }
    static SecureString S(const std::string& s) { return SecureString(s); }
    DeviceEnv env;
    CPSA psa;
};

TEST_F(Codes, PinLengthBoundaries) {
    Open();
    const SecureString three = S("123"), four = S(testing::kUserPin),
                       sixteen = S("1234567890123456"), seventeen = S("12345678901234567");
    EXPECT_EQ(psa.LoginUser(nullptr), code::kPinNotAcceptable);
    EXPECT_EQ(psa.LoginUser(&three), code::kPinNotAcceptable);
    EXPECT_EQ(psa.LoginUser(&seventeen), code::kWrongPin);
    // Neither reached the module.
    EXPECT_EQ(env.Read("p11.log").find("C_Login"), std::string::npos);
    EXPECT_EQ(psa.LoginUser(&sixteen), code::kWrongPin);  // the module's verdict
    EXPECT_EQ(psa.LoginUser(&four), code::kOk);

    EXPECT_EQ(psa.ChangeCode(&four, &seventeen, CodeFlavour::User), code::kPinNotAcceptable);
    EXPECT_EQ(psa.ChangeCode(&three, &four, CodeFlavour::User), code::kPinNotAcceptable);
    EXPECT_EQ(psa.ChangeCode(&four, nullptr, CodeFlavour::User), code::kPinNotAcceptable);
    EXPECT_EQ(psa.InitUserPin(&seventeen), code::kPinNotAcceptable);
    EXPECT_EQ(psa.InitDevice(&three), code::kPinNotAcceptable);
    EXPECT_EQ(psa.ChangeCode(&four, &sixteen, CodeFlavour::User), code::kOk);
    Close();
    Open();
    EXPECT_EQ(psa.LoginUser(&sixteen), code::kOk);
}

TEST_F(Codes, NoSessionGives55) {
    const SecureString pin = S(testing::kUserPin);
    EXPECT_EQ(psa.LoginUser(&pin), code::kNoSession);
    EXPECT_EQ(psa.LoginSO(&pin), code::kNoSession);
    EXPECT_EQ(psa.ChangeCode(&pin, &pin, CodeFlavour::User), code::kNoSession);
    EXPECT_EQ(psa.InitUserPin(&pin), code::kNoSession);
    EXPECT_EQ(psa.CloseSession(), code::kNoSession);
    CK_OBJECT_HANDLE key = 0;
    EXPECT_EQ(psa.FindKey("x", nullptr, false, &key, nullptr), code::kNoSession);
    std::string blob, print;
    EXPECT_EQ(psa.GenerateDeviceKeyPair("x", 1024, blob, print), code::kNoSession);
    SecureBytes out;
    EXPECT_EQ(psa.DeviceSign("x", "", &pin, nullptr, 0, kSignSha256, out), code::kNoSession);
}

TEST_F(Codes, WrongPinsLockThePinAndThePuk) {
    Open();
    EXPECT_FALSE(psa.userPinLocked());
    const SecureString wrong = S("9999"), pin = S(testing::kUserPin), puk = S(testing::kSoPin);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(psa.LoginUser(&wrong), code::kWrongPin);
    EXPECT_EQ(psa.LoginUser(&pin), code::kPinLocked);
    Close();
    // The lock survives a new selection.
    Open();
    EXPECT_TRUE(psa.userPinLocked());
    EXPECT_FALSE(psa.pukLocked());
    EXPECT_TRUE(psa.tokenReady());

    // Unblock: security-officer login and a new user PIN.
    const SecureString newPin = S("4321");
    ASSERT_EQ(psa.LoginSO(&puk), code::kOk);
    ASSERT_EQ(psa.InitUserPin(&newPin), code::kOk);
    Close();
    Open();
    EXPECT_FALSE(psa.userPinLocked());
    EXPECT_EQ(psa.LoginUser(&newPin), code::kOk);
    Close();

    Open();
    const SecureString wrongPuk = S("00000000");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(psa.LoginSO(&wrongPuk), code::kWrongPuk);
    EXPECT_EQ(psa.LoginSO(&puk), code::kPukLocked);
    ASSERT_EQ(psa.ReadTokenState(), code::kOk);
    EXPECT_TRUE(psa.pukLocked());
}

TEST_F(Codes, ChangePukInSecurityOfficerFlavour) {
    Open();
    const SecureString puk = S(testing::kSoPin), wrong = S("11112222"), newPuk = S("24682468");
    ASSERT_EQ(psa.LoginSO(&puk), code::kOk);
    EXPECT_EQ(psa.ChangeCode(&wrong, &newPuk, CodeFlavour::SecurityOfficer), code::kWrongPuk);
    EXPECT_EQ(psa.ChangeCode(&puk, &newPuk, CodeFlavour::SecurityOfficer), code::kOk);
    Close();
    Open();
    EXPECT_EQ(psa.LoginSO(&puk), code::kWrongPuk);
    EXPECT_EQ(psa.LoginSO(&newPuk), code::kOk);
}

TEST_F(Codes, TokenStateFromFlags) {
    Configure("fail C_GetTokenInfo 0xE0 1\n");  // the second token query finds no token
    Open();
    EXPECT_TRUE(psa.tokenReady());
    EXPECT_TRUE(psa.userPinInitialised());
    EXPECT_EQ(psa.ReadTokenState(), code::kNoCard);
    psa.setModuleKind(7);
    EXPECT_EQ(psa.ReadTokenState(), code::kInvalidArgument);
    Close();

    // A token whose user PIN was never set.
    env.Write("p11.conf", std::string("backend ") + testing::kSoftHsm +
                              "\nslot Card Reader 00|token=card|clearflags=0x8\n");
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
    ASSERT_EQ(psa.ReadTokenState(), code::kOk);
    EXPECT_FALSE(psa.userPinInitialised());
    EXPECT_FALSE(psa.tokenReady());
}

TEST_F(Codes, InitDeviceErasesKeysAndTakesNewCodes) {
    Open();
    const SecureString pin = S(testing::kUserPin), puk = S(testing::kSoPin), newPin = S("5555");
    ASSERT_EQ(psa.LoginUser(&pin), code::kOk);
    std::string blob, print, keys;
    ASSERT_EQ(psa.GenerateDeviceKeyPair("doomed", 1024, blob, print), code::kOk);
    ASSERT_EQ(psa.ListKeys(keys), code::kOk);
    EXPECT_EQ(keys, "ProtectorCard|\"" + print + "\"");

    const SecureString wrongPuk = S("00000000");
    EXPECT_EQ(psa.InitDevice(&wrongPuk), code::kWrongPin);  // mapped in the user flavour
    ASSERT_EQ(psa.InitDevice(&puk), code::kOk);
    ASSERT_NE(psa.session(), 0u);
    ASSERT_EQ(psa.LoginSO(&puk), code::kOk);
    ASSERT_EQ(psa.InitUserPin(&newPin), code::kOk);
    Close();
    Open();
    EXPECT_EQ(psa.LoginUser(&newPin), code::kOk);
    ASSERT_EQ(psa.ListKeys(keys), code::kOk);
    EXPECT_EQ(keys, "ProtectorCard|");
    Close();

    Configure("fail C_InitToken 0x6\n");
    Open();
    EXPECT_EQ(psa.InitDevice(&puk), code::kInitDeviceFailed);
}

TEST(MapDeviceError, BothFlavours) {
    struct Row {
        CK_RV rv;
        int user;
        int so;
    } rows[] = {
        {CKR_OK, 0, 0},
        {601, 601, 601},
        {CKR_SESSION_HANDLE_INVALID, 55, 55},
        {CKR_TOKEN_NOT_PRESENT, 57, 57},
        {CKR_PIN_INCORRECT, 56, 130},
        {CKR_PIN_LOCKED, 64, 131},
        {CKR_SESSION_READ_ONLY, 65, 65},
        {CKR_USER_NOT_LOGGED_IN, 65, 65},
        {CKR_DEVICE_REMOVED, 57, 57},
        {CKR_TOKEN_NOT_RECOGNIZED, 57, 57},
        {CKR_SLOT_ID_INVALID, 52, 52},
        {CKR_PIN_INVALID, 54, 54},
        {CKR_FUNCTION_FAILED, 32768 + 6, 32768 + 6},
        {CKR_PIN_LEN_RANGE, 32768 + 0xA2, 32768 + 0xA2},
        {600, 32768 + 600, 32768 + 600},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(CPSA::MapDeviceError(r.rv, CodeFlavour::User), r.user) << r.rv;
        EXPECT_EQ(CPSA::MapDeviceError(r.rv, CodeFlavour::SecurityOfficer), r.so) << r.rv;
    }
}

TEST(ModelTable, HoldsElevenNamesAndAtMostAHundred) {
    CPSA psa;
    ASSERT_EQ(psa.modelCount(), 11);
    EXPECT_EQ(psa.modelName(0), "GemSAFE Smart Card (16K)");
    EXPECT_EQ(psa.modelName(10), "GXPPro-R3.x STD T=1");
    for (int i = 11; i < 100; ++i) ASSERT_EQ(psa.AddModelName("X"), code::kOk);
    EXPECT_EQ(psa.AddModelName("full"), code::kInvalidArgument);
    EXPECT_EQ(psa.modelCount(), 100);
    EXPECT_EQ(psa.tokenFlag(), 0);
    EXPECT_TRUE(psa.tokenReady());
    EXPECT_TRUE(psa.userPinInitialised());
    EXPECT_FALSE(psa.userPinLocked());
}

TEST(ModuleBinding, VersionGateAndLoading) {
    DeviceEnv env;
    env.MapLibrary("pkcs11.dll", "/usr/lib/x86_64-linux-gnu/libpcsclite.so.1");
    env.MapLibrary("other.dll", "/usr/lib/x86_64-linux-gnu/libpcsclite.so.1");
    env.MapLibrary("gone.dll", env.Path("missing.so"));
    env.MapLibrary("text.dll", env.Path("p11.conf"));
    env.Write("p11.conf", "not a module\n");
    EXPECT_EQ(CPSA::CheckModuleVersion("pkcs11.dll"), code::kOk);
    EXPECT_EQ(CPSA::CheckModuleVersion("other.dll"), code::kModuleRefused);
    EXPECT_EQ(CPSA::CheckModuleVersion("gone.dll"), code::kNoVersionInfo);
    EXPECT_EQ(CPSA::CheckModuleVersion("text.dll"), code::kNoVersionInfo);
    EXPECT_EQ(CPSA::CheckModuleVersion(nullptr), code::kNoVersionInfo);

    CPSA psa;
    EXPECT_EQ(psa.InitializeModule(), code::kModuleUnavailable);
    EXPECT_EQ(psa.LoadModule("gone.dll"), code::kNoVersionInfo);
    // Loadable, but no C_GetFunctionList.
    EXPECT_EQ(psa.LoadModule("pkcs11.dll"), code::kModuleUnavailable);
    EXPECT_FALSE(psa.loaded());
    EXPECT_EQ(psa.OpenDevice("pkcs11.dll", 0, nullptr), code::kModuleUnavailable);

    env.MapLibrary("pkcs11.dll", testing::kSoftHsm);
    env.InitToken("t");
    ASSERT_EQ(psa.LoadModule("pkcs11.dll"), code::kOk);
    ASSERT_EQ(psa.InitializeModule(), code::kOk);
    // SoftHSM names its slots "SoftHSM slot ID 0x...": the first one matches this prefix.
    const CK_SLOT_ID slot = psa.FindSlotByReader("SoftHSM slot");
    EXPECT_NE(slot, 0u);
    EXPECT_EQ(psa.FindSlotByReader("No such reader"), 0u);
    ASSERT_EQ(psa.OpenDevice("pkcs11.dll", slot, nullptr), code::kOk);
    std::string serial;
    ASSERT_EQ(psa.GetSerialNumber(serial), code::kOk);
    EXPECT_EQ(serial.size(), 16u);
    EXPECT_EQ(psa.OpenDevice("pkcs11.dll", 12345, nullptr), code::kBadSlot);
    EXPECT_FALSE(psa.loaded());
    EXPECT_EQ(psa.session(), 0u);
}

}  // namespace
}  // namespace vq
