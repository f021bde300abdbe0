// A private machine for one test: its own machine registry file (DLL name mapping, "Tokens",
// card database), its own SoftHSM2 configuration and token directory, and the configuration
// files of the fake PC/SC library and the fake PKCS#11 module.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/test_paths.h"

namespace vq::testing {

inline constexpr const char* kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
inline constexpr const char* kUserPin = "1234";
inline constexpr const char* kSoPin = "87654321";

inline std::string RunCommand(const std::string& command, int* status = nullptr) {
    std::string out;
    if (FILE* p = popen((command + " 2>&1").c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        const int rc = pclose(p);
        if (status) *status = rc;
    } else if (status) {
        *status = -1;
    }
    return out;
}

class DeviceEnv {
  public:
    DeviceEnv() {
        char pattern[] = "/tmp/vq-devices-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::filesystem::create_directories(dir_ + "/tokens");
        Write("softhsm2.conf", "directories.tokendir = " + dir_ +
                                   "/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
        setenv("SOFTHSM2_CONF", (dir_ + "/softhsm2.conf").c_str(), 1);
        setenv(reg::kMachineFileEnv, (dir_ + "/machine.reg").c_str(), 1);
        setenv(reg::kUserFileEnv, (dir_ + "/user.reg").c_str(), 1);
        setenv("VQ_FAKE_PCSC_CONFIG", (dir_ + "/pcsc.conf").c_str(), 1);
        setenv("VQ_FAKE_P11_CONFIG", (dir_ + "/p11.conf").c_str(), 1);
    }
    ~DeviceEnv() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    DeviceEnv(const DeviceEnv&) = delete;
    DeviceEnv& operator=(const DeviceEnv&) = delete;

    const std::string& dir() const { return dir_; }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(Path(name), std::ios::trunc) << text;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(Path(name));
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void SetString(const std::string& key, const std::string& name, const std::string& value,
                   std::uint32_t type = reg::kRegSz) const {
        reg::KeyPtr k;
        ASSERT_EQ(reg::CreateKey(reg::Root::LocalMachine, key, reg::kKeyAllAccess, k), 0);
        ASSERT_EQ(
            reg::SetValue(*k, name, type, reinterpret_cast<const unsigned char*>(value.data()),
                          static_cast<std::uint32_t>(value.size())),
            0);
    }
    void MapLibrary(const std::string& dll, const std::string& path) const {
        SetString("SOFTWARE\\Brantwell\\Veriquill\\Libraries", dll, path + '\0');
    }
    // "Tokens": NUL-separated ATR texts closed by an empty string.
    void SetTokens(const std::vector<std::string>& atrs) const {
        std::string list;
        for (const auto& atr : atrs) list += atr + '\0';
        list += '\0';
        SetString("SOFTWARE\\Brantwell\\SmartCard\\Components", "Tokens", list, reg::kRegMultiSz);
    }
    // The usual production mapping onto the fakes.
    void UseFakes() const {
        MapLibrary("winscard.dll", vq::test_paths::FakeWinscard());
        MapLibrary("pkcs11.dll", vq::test_paths::FakePkcs11());
        MapLibrary("gclib.dll", vq::test_paths::FakePkcs11());
    }

    // A SoftHSM2 token with the given label, user PIN and SO PIN (the PUK).
    void InitToken(const std::string& label, const std::string& pin = kUserPin,
                   const std::string& so = kSoPin) const {
        int status = 0;
        const std::string out = RunCommand("softhsm2-util --init-token --free --label '" + label +
                                               "' --pin '" + pin + "' --so-pin '" + so + "'",
                                           &status);
        ASSERT_EQ(status, 0) << out;
    }
    // pkcs11-tool from OpenSC against this test's SoftHSM2.
    std::string Pkcs11Tool(const std::string& args, int* status = nullptr) const {
        return RunCommand(std::string("pkcs11-tool --module ") + kSoftHsm + " " + args, status);
    }

  private:
    std::string dir_;
};

}  // namespace vq::testing
