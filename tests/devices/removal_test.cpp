// A device pulled out in the middle of each operation: the operation ends with a clean code, and
// closing the session and unloading the module leave the device object unbound.
#include <gtest/gtest.h>

#include <functional>

#include "devices/psa.h"
#include "storage/codes.h"
#include "tests/fakes/test_env.h"

namespace vq {
namespace {

using testing::DeviceEnv;

constexpr const char* kAtr = "3B8F8001804F0CA000000306030001000000006A";

class AllKeys : public IKeyRemovalChooser {
  public:
    std::vector<CK_OBJECT_HANDLE> handles;
    std::vector<std::string> prints;
    void AddKey(const std::string&, const std::string& fp, bool, CK_OBJECT_HANDLE h) override {
        handles.push_back(h);
        prints.push_back(fp);
    }
    bool Run() override { return true; }
    bool chosen(int i) const override { return i < int(handles.size()); }
    CK_OBJECT_HANDLE handle(int i) const override { return handles.at(i); }
    std::string fingerprint(int i) const override { return prints.at(i); }
};

class Removal : public ::testing::Test {
  protected:
    void SetUp() override {
        env.UseFakes();
        env.InitToken("card");
        env.Write("pcsc.conf", std::string("reader Card Reader 00|") + kAtr + "\n");
        Configure("");
        Open();
        std::string blob;
        ASSERT_EQ(psa.GenerateDeviceKeyPair("k", 1024, blob, print), code::kOk);
        Close();
    }
    void Configure(const std::string& extra) {
        env.Write("p11.conf", std::string("backend ") + testing::kSoftHsm + "\nlog " +
                                  env.Path("p11.log") + "\nslot Card Reader 00|token=card\n" +
                                  extra);
    }
    void Open() {
        CK_SLOT_ID slot = 0;
        ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
        ASSERT_EQ(psa.ReadTokenState(), code::kOk);
        ASSERT_EQ(psa.LoginUser(&pin), code::kOk);
    }
    void Close() {
        psa.CloseSession();
        psa.UnloadModule();
    }
    DeviceEnv env;
    CPSA psa;
    SecureString pin{testing::kUserPin};
    std::string print;
};

TEST_F(Removal, EveryOperationEndsCleanly) {
    const unsigned char data[20] = {1, 2, 3};
    std::string text;
    struct Case {
        const char* fail;  // call that finds the device gone
        int expected;
        std::function<int()> op;
    };
    const std::vector<Case> cases = {
        {"C_Login", code::kNoCard, [&] { return psa.LoginUser(&pin); }},
        {"C_GetTokenInfo", code::kNoCard, [&] { return psa.ReadTokenState(); }},
        {"C_SetPIN", code::kNoCard, [&] { return psa.ChangeCode(&pin, &pin, CodeFlavour::User); }},
        {"C_InitPIN", code::kNoCard, [&] { return psa.InitUserPin(&pin); }},
        {"C_FindObjectsInit", code::kNoCard,
         [&] { return psa.FindKey("k", print.c_str(), true, nullptr, nullptr); }},
        {"C_FindObjects", code::kObjectSearchFailed, [&] { return psa.ListKeys(text); }},
        {"C_GetAttributeValue", code::kNoCard, [&] { return psa.ListKeys(text); }},
        {"C_GenerateKeyPair", code::kNoCard,
         [&] {
             std::string b, f;
             return psa.GenerateDeviceKeyPair("new", 1024, b, f);
         }},
        {"C_SignInit", code::kNoCard,
         [&] {
             SecureBytes out;
             return psa.DeviceSign("k", print.c_str(), &pin, data, 20, kSignSha256, out);
         }},
        {"C_Sign", code::kNoCard,
         [&] {
             SecureBytes out;
             return psa.DeviceSign("k", print.c_str(), &pin, data, 20, kSignRaw, out);
         }},
        {"C_Decrypt", code::kNoCard,
         [&] {
             SecureBytes out;
             return psa.DeviceSign("k", print.c_str(), &pin, data, 20, kSignDecrypt, out);
         }},
        {"C_DestroyObject", code::kDestroyObjectFailed,
         [&] {
             AllKeys all;
             std::string removed;
             return psa.RemoveDeviceKeys(all, removed);
         }},
    };
    for (const Case& c : cases) {
        // The first call of a load belongs to Open for these two; fail the next one.
        const bool openUsesIt =
            std::string(c.fail) == "C_Login" || std::string(c.fail) == "C_GetTokenInfo";
        Configure(std::string("fail ") + c.fail + " 0x32 " + (openUsesIt ? "1" : "0") + "\n");
        Open();
        EXPECT_EQ(c.op(), c.expected) << c.fail;
        if (std::string(c.fail) == "C_FindObjects" ||
            std::string(c.fail) == "C_GetAttributeValue") {
            EXPECT_EQ(text, "50|") << c.fail;  // the raw CKR_DEVICE_REMOVED
        }
        Close();
        EXPECT_EQ(psa.session(), 0u) << c.fail;
        EXPECT_FALSE(psa.loaded()) << c.fail;
        EXPECT_FALSE(psa.initialised()) << c.fail;
        const std::string log = env.Read("p11.log");
        EXPECT_EQ(log.substr(log.rfind('\n', log.size() - 2) + 1), "C_Finalize\n") << c.fail;
    }
    // The key survived every interrupted operation.
    Configure("");
    Open();
    EXPECT_EQ(psa.FindKey("k", print.c_str(), true, nullptr, nullptr), code::kOk);
}

TEST_F(Removal, FailedLabellingDestroysBothNewObjects) {
    for (const char* skip : {"0", "1"}) {  // the public key's labelling, then the private key's
        Configure(std::string("fail C_SetAttributeValue 0x32 ") + skip + " 1\n");
        Open();
        std::string blob, fp;
        EXPECT_EQ(psa.GenerateDeviceKeyPair("new", 1024, blob, fp), code::kNoCard) << skip;
        EXPECT_TRUE(blob.empty());
        Close();
        const std::string objects =
            env.Pkcs11Tool(std::string("--login --pin ") + testing::kUserPin + " --list-objects");
        std::size_t count = 0;
        for (std::size_t p = 0; (p = objects.find("Key Object", p)) != std::string::npos; ++p)
            ++count;
        EXPECT_EQ(count, 2u) << objects;  // only the pair made in SetUp
    }
}

TEST_F(Removal, DeviceGoneBeforeOpeningGivesNoEntry) {
    Configure("fail C_OpenSession 0xE0\n");
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kNoCard);
    EXPECT_FALSE(psa.loaded());
    Configure("fail C_GetTokenInfo 0x32\n");
    EXPECT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &slot), code::kNoToken);
    EXPECT_EQ(psa.session(), 0u);
}

}  // namespace
}  // namespace vq
