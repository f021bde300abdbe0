#include "storage/cfg_reg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "storage/codes.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

const char kNotFound[] = "The system cannot find the file specified.\r\n";

class CfgReg : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vq-cfg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        hklm_ = dir_ / "machine.reg";
        hkcu_ = dir_ / "user.reg";
        setenv(reg::kMachineFileEnv, hklm_.c_str(), 1);
        setenv(reg::kUserFileEnv, hkcu_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv(reg::kMachineFileEnv);
        unsetenv(reg::kUserFileEnv);
        fs::remove_all(dir_);
    }
    fs::path dir_, hklm_, hkcu_;
};

TEST_F(CfgReg, FirstAccessCreatesTheUserKey) {
    for (bool write : {false, true}) {
        fs::remove(hkcu_);
        CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
        if (write) {
            EXPECT_EQ(cfg.SetParam("id", "/k.prv"), 1);
        } else {
            std::optional<std::string> out;
            EXPECT_EQ(cfg.GetParam("id", out), code::kNoLocation);
        }
        reg::KeyPtr key;
        EXPECT_EQ(reg::OpenKey(reg::Root::CurrentUser, kKeyLocationsKey, reg::kKeyRead, key), 0)
            << write;
    }
}

TEST_F(CfgReg, SetThenGetKeepsTheTerminatingZero) {
    CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
    ASSERT_EQ(cfg.SetParam("AB12", "/home/u/klucz.prv"), 1);
    unsigned char buf[64];
    std::uint32_t size = sizeof buf;
    ASSERT_EQ(cfg.GetParam("ab12", buf, &size), 1);
    EXPECT_EQ(size, 18u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), size),
              std::string("/home/u/klucz.prv\0", 18));
    // A second object (another process, later) sees the same value.
    CCfgReg other(reg::Root::CurrentUser, "SOFTWARE\\BRANTWELL\\MARLOW\\KEYS");
    std::optional<std::string> out;
    ASSERT_EQ(other.GetParam("AB12", out), code::kOk);
    ASSERT_TRUE(out);
    // The data (with its zero) plus one more zero byte.
    EXPECT_EQ(*out, std::string("/home/u/klucz.prv\0\0", 19));
    EXPECT_EQ(cfg.lastError(), 0);
}

TEST_F(CfgReg, RawReadAtTheCapacityBoundary) {
    CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
    ASSERT_EQ(cfg.SetParam("v", "12345"), 1);  // 6 bytes with the zero
    unsigned char buf[8] = {};
    std::uint32_t size = 6;
    EXPECT_EQ(cfg.GetParam("v", buf, &size), 1);
    EXPECT_EQ(size, 6u);
    size = 5;
    EXPECT_EQ(cfg.GetParam("v", buf, &size), 0);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(cfg.lastError(), 234);
    EXPECT_EQ(cfg.lastErrorText(), "GetParam(v) failed, error #234 - More data is available.\r\n");
}

TEST_F(CfgReg, AllocatingReadStopsAt1024Bytes) {
    CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
    const std::string fits(1023, 'p');     // 1024 bytes with the zero
    const std::string tooLong(1024, 'q');  // 1025 bytes
    ASSERT_EQ(cfg.SetParam("fits", fits.c_str()), 1);
    ASSERT_EQ(cfg.SetParam("long", tooLong.c_str()), 1);

    std::optional<std::string> out;
    ASSERT_EQ(cfg.GetParam("fits", out), code::kOk);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 1025u);
    EXPECT_EQ(out->substr(0, 1023), fits);

    std::optional<std::string> lost;
    EXPECT_EQ(cfg.GetParam("long", lost), code::kNoLocation);
    EXPECT_FALSE(lost);
    EXPECT_EQ(cfg.lastErrorText(),
              "GetParam(long) failed, error #234 - More data is available.\r\n");
    // The value itself is intact: a large enough buffer reads all of it.
    std::vector<unsigned char> big(2048);
    std::uint32_t size = static_cast<std::uint32_t>(big.size());
    EXPECT_EQ(cfg.GetParam("long", big.data(), &size), 1);
    EXPECT_EQ(size, 1025u);
}

TEST_F(CfgReg, MissingValueRecordsTheSystemMessage) {
    CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
    std::optional<std::string> out;
    EXPECT_EQ(cfg.GetParam("MyKey", out), code::kNoLocation);
    EXPECT_EQ(cfg.lastError(), 2);
    EXPECT_EQ(cfg.lastErrorText(), std::string("GetParam(MyKey) failed, error #2 - ") + kNotFound);
    // Without a name the raw form reads the default value and reports an empty argument.
    unsigned char buf[4];
    std::uint32_t size = sizeof buf;
    EXPECT_EQ(cfg.GetParam(nullptr, buf, &size), 0);
    EXPECT_EQ(cfg.lastErrorText(), std::string("GetParam() failed, error #2 - ") + kNotFound);
}

TEST_F(CfgReg, NothingToOpenLeavesOutputAndErrorAlone) {
    for (const char* path : {static_cast<const char*>(nullptr), ""}) {
        CCfgReg cfg(reg::Root::CurrentUser, path);
        EXPECT_EQ(cfg.OpenOrCreateKey(), 0);
        std::optional<std::string> out = "keep";
        EXPECT_EQ(cfg.GetParam("id", out), code::kOk);
        EXPECT_EQ(out, "keep");
        EXPECT_EQ(cfg.SetParam("id", "x"), 0);
        EXPECT_EQ(cfg.lastError(), 0);
        EXPECT_EQ(cfg.lastErrorText(), "");
    }
    CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
    std::optional<std::string> out = "keep";
    EXPECT_EQ(cfg.GetParam(nullptr, out), code::kOk);
    EXPECT_EQ(out, "keep");
    EXPECT_EQ(cfg.SetParam(nullptr, "x"), 0);
    EXPECT_EQ(cfg.SetParam("x", nullptr), 0);
    // None of these reached the registry.
    EXPECT_FALSE(fs::exists(hkcu_));
}

TEST_F(CfgReg, BrokenFileFailsTheOpenAndIsRetriedLater) {
    WriteFile(hkcu_, "REGEDIT4\n[HKEY_CURRENT_USER\\X\n");
    CCfgReg cfg(reg::Root::CurrentUser, kKeyLocationsKey);
    std::optional<std::string> out;
    EXPECT_EQ(cfg.GetParam("id", out), code::kOk);  // no key: untouched, not 509
    EXPECT_FALSE(out);
    EXPECT_EQ(cfg.lastError(), 1009);
    EXPECT_EQ(cfg.lastErrorText(),
              "OpenOrCreateKey(Software\\Brantwell\\Marlow\\Keys) failed, error #1009 - The "
              "configuration registry database is corrupt.\r\n");
    EXPECT_EQ(cfg.SetParam("id", "x"), 0);
    EXPECT_EQ(ReadFile(hkcu_), "REGEDIT4\n[HKEY_CURRENT_USER\\X\n");
    // Once the file is repaired the next access opens the key.
    WriteFile(hkcu_, "REGEDIT4\n");
    EXPECT_EQ(cfg.SetParam("id", "x"), 1);
}

TEST_F(CfgReg, ReadOnlyMachineFileFallsBackToReading) {
    const bool root = getuid() == 0;
    const uid_t nobody = 65534;
    fs::permissions(dir_, fs::perms(0755));
    WriteFile(hklm_,
              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\SmartCard\\Components]\n"
              "\"GemPCTwin USB\"=\"1\"\n");
    ASSERT_EQ(chmod(hklm_.c_str(), 0444), 0);
    const std::string before = ReadFile(hklm_);
    const pid_t pid = fork();
    if (pid == 0) {
        // Root may write any file; check as an ordinary user.
        if (root && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(90);
        CCfgReg cfg(reg::Root::LocalMachine, kDeviceConfigKey);
        if (cfg.OpenOrCreateKey() != 1) _exit(1);
        if (cfg.lastError() != 0) _exit(2);  // the failed full-access attempt is not recorded
        unsigned char buf[8];
        std::uint32_t size = sizeof buf;
        if (cfg.GetParam("GemPCTwin USB", buf, &size) != 1 || size != 2) _exit(3);
        if (cfg.SetParam("GemPCKey USB", "1") != 0) _exit(4);
        if (cfg.lastErrorText() !=
            "SetParam(GemPCKey USB) failed, error #5 - Access is denied.\r\n")
            _exit(5);
        // A key that is missing cannot be created read-only: the open fails with 5.
        CCfgReg missing(reg::Root::LocalMachine, "SOFTWARE\\Missing");
        if (missing.OpenOrCreateKey() != 0) _exit(6);
        if (missing.lastErrorText() !=
            "OpenOrCreateKey(SOFTWARE\\Missing) failed, error #5 - Access is denied.\r\n")
            _exit(7);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(hklm_), before);
}

// The device configuration object is process-wide and stays open, so these tests keep one
// machine file for the whole process and rewrite its contents for each case.
class DeviceConfig : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vq-dev-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    static void TearDownTestSuite() { fs::remove_all(dir_); }
    void SetUp() override { setenv(reg::kMachineFileEnv, (dir_ / "machine.reg").c_str(), 1); }
    void TearDown() override { unsetenv(reg::kMachineFileEnv); }

    void Machine(const std::string& values) {
        WriteFile(dir_ / "machine.reg",
                  "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\SmartCard\\Components]\n" +
                      values);
    }
    static fs::path dir_;
};
fs::path DeviceConfig::dir_;

TEST_F(DeviceConfig, SwitchesAreOnOnlyForExactlyOne) {
    const struct {
        const char* line;
        bool on;
    } cases[] = {
        {"\"GemPCKey USB\"=\"1\"\n", true},
        {"\"GemPCKey USB\"=\"1 \"\n", false},
        {"\"GemPCKey USB\"=\"01\"\n", false},
        {"\"GemPCKey USB\"=\"\"\n", false},
        {"\"GemPCKey USB\"=dword:00000001\n", false},
        {"\"GemPCKey USB\"=hex(1):31\n", true},  // no terminating zero stored: still the text 1
        {"\"GemPCKey USB\"=hex(1):31,00,32\n", true},  // text ends at the zero
        {"", false},
    };
    CKeywrightUtils utils;
    for (const auto& c : cases) {
        Machine(c.line);
        EXPECT_EQ(utils.UsbTokensEnabled(), c.on) << c.line;
        EXPECT_FALSE(utils.SmartCardsEnabled()) << c.line;
    }
    Machine("\"GemPCTwin USB\"=\"1\"\n");
    EXPECT_TRUE(utils.SmartCardsEnabled());
    EXPECT_FALSE(utils.UsbTokensEnabled());
}

TEST_F(DeviceConfig, DeviceValuesAreReadInto8096Bytes) {
    Machine("");
    reg::KeyPtr key;
    ASSERT_EQ(reg::CreateKey(reg::Root::LocalMachine, kDeviceConfigKey, reg::kKeyAllAccess, key),
              0);
    const std::string fits(8096, 'A'), tooBig(8097, 'B');
    ASSERT_EQ(reg::SetValue(*key, "Fits", reg::kRegBinary,
                            reinterpret_cast<const unsigned char*>(fits.data()), 8096),
              0);
    ASSERT_EQ(reg::SetValue(*key, "TooBig", reg::kRegBinary,
                            reinterpret_cast<const unsigned char*>(tooBig.data()), 8097),
              0);
    EXPECT_EQ(ReadDeviceValue("Fits"), fits);
    EXPECT_EQ(ReadDeviceValue("TooBig"), std::nullopt);
    EXPECT_EQ(DeviceConfiguration().lastError(), 234);
    EXPECT_EQ(ReadDeviceValue("Missing"), std::nullopt);
    EXPECT_EQ(DeviceConfiguration().lastError(), 2);
}

TEST_F(DeviceConfig, TokenListMatchesWholeUpperCaseEntries) {
    const unsigned char atr[] = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};
    CKeywrightUtils utils;
    auto multi = [](const std::string& strings) {
        std::string line = "\"Tokens\"=hex(7):";
        for (std::size_t i = 0; i < strings.size(); ++i) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(strings[i]));
            line += (i ? "," : "") + std::string(buf);
        }
        return line + "\n";
    };
    const std::string hex = "3B951381018073FF01000B";
    Machine(multi(std::string("3BDB96\0", 7) + hex + std::string("\0\0", 2)));
    EXPECT_TRUE(utils.IsToken(atr, sizeof atr));
    EXPECT_FALSE(utils.IsToken(atr, sizeof atr - 1));  // a prefix is not a match
    EXPECT_FALSE(utils.IsToken(atr, 0));
    EXPECT_FALSE(utils.IsToken(nullptr, 3));
    // Lower-case entries never match: the ATR text is upper case.
    Machine(multi("3b951381018073ff01000b" + std::string("\0\0", 2)));
    EXPECT_FALSE(utils.IsToken(atr, sizeof atr));
    // The list ends at the first empty string.
    Machine(multi(std::string("AA\0\0", 4) + hex + std::string("\0\0", 2)));
    EXPECT_FALSE(utils.IsToken(atr, sizeof atr));
    // A list whose final zeros are missing still ends with its data.
    Machine(multi(std::string("AA\0", 3) + hex));
    EXPECT_TRUE(utils.IsToken(atr, sizeof atr));
    Machine("");
    EXPECT_FALSE(utils.IsToken(atr, sizeof atr));
}

}  // namespace
}  // namespace vq
