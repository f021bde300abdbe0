#include "control/registration.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/registry/registry.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

constexpr const char* kModule = "/opt/veriquill/lib/libveriquill.so";

// Each test registers into machine and user files of its own.
class RegistrationTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vq_registration_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv(reg::kMachineFileEnv, (dir_ / "machine.reg").c_str(), 1);
        setenv(reg::kUserFileEnv, (dir_ / "user.reg").c_str(), 1);
    }
    void TearDown() override {
        unsetenv(reg::kMachineFileEnv);
        unsetenv(reg::kUserFileEnv);
        fs::remove_all(dir_);
    }

    // A string value below "Software\Classes" without its terminating zero, or nothing when the
    // key or value is missing or is not a string.
    static std::optional<std::string> Read(const std::string& sub, const std::string& name = "") {
        reg::KeyPtr key;
        if (reg::OpenKey(reg::Root::LocalMachine, std::string(kClassesKey) + "\\" + sub,
                         reg::kKeyRead, key) != reg::kErrorSuccess)
            return std::nullopt;
        std::uint32_t type = 0;
        unsigned char data[512];
        std::uint32_t size = sizeof data;
        if (reg::QueryValue(*key, name, &type, data, &size) != reg::kErrorSuccess ||
            type != reg::kRegSz || size == 0 || data[size - 1] != 0)
            return std::nullopt;
        return std::string(reinterpret_cast<char*>(data), size - 1);
    }
    static bool Exists(const std::string& sub) {
        reg::KeyPtr key;
        return reg::OpenKey(reg::Root::LocalMachine, std::string(kClassesKey) + "\\" + sub,
                            reg::kKeyRead, key) == reg::kErrorSuccess;
    }

    fs::path dir_;
};

const std::string kCtrl = std::string("CLSID\\") + kControlClsid;
const std::string kPage = std::string("CLSID\\") + kPropPageClsid;
const std::string kLib = std::string("TypeLib\\") + kTypeLibId + "\\1.0";

TEST_F(RegistrationTest, RegistersTheControlClass) {
    ASSERT_EQ(DllRegisterServer(kModule), kSOk);
    EXPECT_EQ(Read(kCtrl), "Veriquill Control");
    EXPECT_EQ(Read(kCtrl + "\\InprocServer32"), kModule);
    EXPECT_EQ(Read(kCtrl + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Read(kCtrl + "\\ProgID"), "VERIQUILL.VeriquillCtrl.1");
    EXPECT_EQ(Read(kCtrl + "\\TypeLib"), kTypeLibId);
    EXPECT_EQ(Read(kCtrl + "\\Version"), "1.0");
    EXPECT_TRUE(Exists(kCtrl + "\\Control"));
    EXPECT_FALSE(Exists(kCtrl + "\\Insertable"));
    EXPECT_EQ(Read(kCtrl + "\\MiscStatus"), "0");
    EXPECT_EQ(Read(kCtrl + "\\MiscStatus\\1"), "132241");
    EXPECT_EQ(Read("VERIQUILL.VeriquillCtrl.1"), "Veriquill Control");
    EXPECT_EQ(Read("VERIQUILL.VeriquillCtrl.1\\CLSID"), kControlClsid);
}

TEST_F(RegistrationTest, RegistersThePropertyPageAndTypeLibrary) {
    ASSERT_EQ(DllRegisterServer(kModule), kSOk);
    EXPECT_EQ(Read(kPage), "Veriquill Property Page");
    EXPECT_EQ(Read(kPage + "\\InprocServer32"), kModule);
    EXPECT_EQ(Read(kPage + "\\InprocServer32", "ThreadingModel"), "Apartment");
    EXPECT_EQ(Read(kPage + "\\ProgID"), "VERIQUILL.VeriquillPropPage.1");
    EXPECT_EQ(Read("VERIQUILL.VeriquillPropPage.1"), "Veriquill Property Page");
    EXPECT_EQ(Read("VERIQUILL.VeriquillPropPage.1\\CLSID"), kPropPageClsid);

    EXPECT_EQ(Read(kLib), "Veriquill ActiveX Control module");
    EXPECT_EQ(Read(kLib + "\\0\\win32"), kModule);
    EXPECT_EQ(Read(kLib + "\\FLAGS"), "0");
    EXPECT_EQ(Read(kLib + "\\HELPDIR"), "/opt/veriquill/lib");
    for (const char* iid : {kDispatchIid, kEventsIid}) {
        const std::string itf = std::string("Interface\\") + iid;
        EXPECT_TRUE(Read(itf).has_value()) << iid;
        EXPECT_EQ(Read(itf + "\\TypeLib"), kTypeLibId);
        EXPECT_EQ(Read(itf + "\\TypeLib", "Version"), "1.0");
        EXPECT_EQ(Read(itf + "\\ProxyStubClsid32"), "{00020420-0000-0000-C000-000000000046}");
    }
}

TEST_F(RegistrationTest, MarksTheControlSafeForScriptingAndInitialising) {
    ASSERT_EQ(DllRegisterServer(kModule), kSOk);
    EXPECT_EQ(Read("Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}", "409"),
              "Controls safely scriptable!");
    EXPECT_EQ(Read("Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}", "409"),
              "Controls safely initializable from persistent data!");
    EXPECT_TRUE(Exists(kCtrl + "\\Implemented Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_TRUE(Exists(kCtrl + "\\Implemented Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}"));
    EXPECT_FALSE(Exists(kPage + "\\Implemented Categories"));
}

TEST_F(RegistrationTest, RegisteringAgainUpdatesTheModulePath) {
    ASSERT_EQ(DllRegisterServer(kModule), kSOk);
    ASSERT_EQ(DllRegisterServer("/usr/lib/veriquill.so"), kSOk);
    EXPECT_EQ(Read(kCtrl + "\\InprocServer32"), "/usr/lib/veriquill.so");
    EXPECT_EQ(Read(kLib + "\\0\\win32"), "/usr/lib/veriquill.so");
}

TEST_F(RegistrationTest, CategoryDescriptionIsCutTo127Characters) {
    const std::string longText(200, 'x');
    ASSERT_EQ(RegisterCategory("{00000000-0000-0000-0000-000000000001}", longText), kSOk);
    EXPECT_EQ(Read("Component Categories\\{00000000-0000-0000-0000-000000000001}", "409"),
              std::string(127, 'x'));
}

TEST_F(RegistrationTest, UnregisteringLeavesOnlyTheCategories) {
    ASSERT_EQ(DllRegisterServer(kModule), kSOk);
    ASSERT_EQ(DllUnregisterServer(), kSOk);
    EXPECT_FALSE(Exists(kCtrl));
    EXPECT_FALSE(Exists(kPage));
    EXPECT_FALSE(Exists("VERIQUILL.VeriquillCtrl.1"));
    EXPECT_FALSE(Exists("VERIQUILL.VeriquillPropPage.1"));
    EXPECT_FALSE(Exists(std::string("TypeLib\\") + kTypeLibId));
    EXPECT_FALSE(Exists(std::string("Interface\\") + kDispatchIid));
    EXPECT_FALSE(Exists(std::string("Interface\\") + kEventsIid));
    EXPECT_EQ(Read("Component Categories\\{7DD95801-9882-11CF-9FA9-00AA006C42C4}", "409"),
              "Controls safely scriptable!");
    EXPECT_EQ(Read("Component Categories\\{7DD95802-9882-11CF-9FA9-00AA006C42C4}", "409"),
              "Controls safely initializable from persistent data!");
    // Nothing left to remove is no failure, and registration works again afterwards.
    EXPECT_EQ(DllUnregisterServer(), kSOk);
    EXPECT_EQ(DllRegisterServer(kModule), kSOk);
    EXPECT_EQ(Read(kCtrl + "\\ProgID"), "VERIQUILL.VeriquillCtrl.1");
}

TEST_F(RegistrationTest, UnwritableMachineStoreFailsAtTheTypeLibrary) {
    // The machine file cannot be created: its directory is a plain file.
    const fs::path blocker = dir_ / "blocker";
    std::FILE* f = std::fopen(blocker.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    setenv(reg::kMachineFileEnv, (blocker / "machine.reg").c_str(), 1);
    EXPECT_EQ(DllRegisterServer(kModule), kSelfRegETypeLib);
    EXPECT_FALSE(Exists(kCtrl));
}

TEST_F(RegistrationTest, EmptyModulePathIsRefused) {
    EXPECT_EQ(DllRegisterServer(""), kSelfRegETypeLib);
    EXPECT_FALSE(Exists(kCtrl));
    EXPECT_FALSE(Exists(kLib));
}

TEST(HResult, FromWin32) {
    EXPECT_EQ(HResultFromWin32(0), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(5)), 0x80070005u);
    EXPECT_EQ(static_cast<std::uint32_t>(HResultFromWin32(1009)), 0x800703F1u);
    EXPECT_EQ(static_cast<std::uint32_t>(kSelfRegETypeLib), 0x80040200u);
    EXPECT_EQ(static_cast<std::uint32_t>(kSelfRegEClass), 0x80040201u);
}

}  // namespace
}  // namespace vq
