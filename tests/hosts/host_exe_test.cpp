// The veriquill executable as administrators' scripts use it: registry writers killed in the
// middle of a write.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/registry/registry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class HostExe : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vq-hostexe-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "config");
        hkcu_ = dir_ / "config" / "user.reg";
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Starts `veriquill ARGS` in dir_ with the test's own registry files and home, standard
    // output and error into out.txt and err.txt. `env` adds NAME=VALUE settings; `unset` names
    // variables the child must not see.
    pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                const std::vector<std::string>& unset = {}) {
        // Nothing buffered may be written twice by the child.
        std::cout.flush();
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid != 0) return pid;
        if (::chdir(dir_.c_str()) != 0) _exit(120);
        for (const auto& name : unset) ::unsetenv(name.c_str());
        ::setenv("HOME", dir_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        ::setenv(vq::reg::kUserFileEnv, hkcu_.c_str(), 1);
        ::setenv(vq::reg::kMachineFileEnv, (dir_ / "machine.reg").c_str(), 1);
        for (const auto& setting : env) {
            const auto eq = setting.find('=');
            ::setenv(setting.substr(0, eq).c_str(), setting.substr(eq + 1).c_str(), 1);
        }
        if (!std::freopen("out.txt", "w", stdout) || !std::freopen("err.txt", "w", stderr))
            _exit(121);
        std::vector<char*> argv;
        std::string exe = VQ_HOST_EXE;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(exe.c_str(), argv.data());
        _exit(122);
    }
    // Exit status, or 128 + signal.
    static int Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Runs to the end, or for at most a minute: a run still going then is killed and reported
    // as -1, so that a hanging dialog fails the test instead of hanging it.
    int Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
            const std::vector<std::string>& unset = {}) {
        const pid_t pid = Spawn(args, env, unset);
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        int status = -1;
        for (;;) {
            int raw = 0;
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                break;
            }
            if (Clock::now() > deadline) {
                ::kill(pid, SIGKILL);
                Wait(pid);
                break;
            }
            ::usleep(10000);
        }
        out_ = ReadFile(dir_ / "out.txt");
        err_ = ReadFile(dir_ / "err.txt");
        return status;
    }
    std::vector<std::string> Temporaries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(hkcu_.parent_path())) {
            const std::string name = e.path().filename().string();
            if (name.rfind(".user.reg.", 0) == 0) names.push_back(name);
        }
        return names;
    }

    fs::path dir_, hkcu_;
    std::string out_, err_;
};

constexpr const char* kTestKey = "HKCU\\Software\\Brantwell\\Test";

// ---- Registry writers killed in the middle of a write ----

TEST_F(HostExe, RegistryWritersKilledMidWriteLoseNothingAndLeaveNoLitter) {
    // How long one write takes from start to exit on this machine; the kills land anywhere in
    // that span, so some hit the write between its temporary file and the rename.
    const auto start = Clock::now();
    ASSERT_EQ(0, Run({"reg", "set", kTestKey, "first", "1"})) << err_;
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);

    std::random_device seed;
    const unsigned s = seed();
    std::mt19937 rng(s);
    std::uniform_int_distribution<long> delay(0, span.count() * 3 / 2);
    std::vector<int> completed;
    int killed = 0;
    constexpr int kWriters = 300;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (int i = 0; i < kWriters && Clock::now() < deadline; ++i) {
        const pid_t pid =
            Spawn({"reg", "set", kTestKey, "v" + std::to_string(i), "value " + std::to_string(i)});
        ::usleep(static_cast<useconds_t>(delay(rng)));
        ::kill(pid, SIGKILL);
        const int status = Wait(pid);
        if (status == 0) {
            completed.push_back(i);
        } else {
            ASSERT_EQ(128 + SIGKILL, status)
                << "writer " << i << ": " << ReadFile(dir_ / "err.txt");
            ++killed;
        }
    }
    const std::size_t litter = Temporaries().size();
    std::cout << "seed " << s << ": " << completed.size() << " writes completed, " << killed
              << " writers killed, " << litter << " temporary files left by them\n";

    // The next write tidies up; the file is whole and holds every completed write.
    ASSERT_EQ(0, Run({"reg", "set", kTestKey, "last", "1"})) << err_;
    EXPECT_TRUE(Temporaries().empty())
        << Temporaries().size() << " left, first " << Temporaries().front();
    setenv(vq::reg::kUserFileEnv, hkcu_.c_str(), 1);
    vq::reg::KeyPtr key;
    ASSERT_EQ(0, vq::reg::OpenKey(vq::reg::Root::CurrentUser, "Software\\Brantwell\\Test",
                                  vq::reg::kKeyRead, key))
        << ReadFile(hkcu_);
    std::vector<std::string> names;
    ASSERT_EQ(0, vq::reg::EnumValues(*key, names));
    for (int i : completed) {
        const std::string name = "v" + std::to_string(i);
        const std::string expected = "value " + std::to_string(i);
        unsigned char buf[64];
        std::uint32_t size = sizeof buf;
        ASSERT_EQ(0, vq::reg::QueryValue(*key, name, nullptr, buf, &size)) << name;
        // String values carry their terminating zero.
        EXPECT_EQ(expected + '\0', std::string(reinterpret_cast<char*>(buf), size)) << name;
    }
    // A killed writer either wrote all of its value or nothing.
    for (const auto& name : names) {
        if (name.size() < 2 || name[0] != 'v') continue;
        unsigned char buf[64];
        std::uint32_t size = sizeof buf;
        ASSERT_EQ(0, vq::reg::QueryValue(*key, name, nullptr, buf, &size));
        EXPECT_EQ("value " + name.substr(1) + '\0',
                  std::string(reinterpret_cast<char*>(buf), size));
    }
    unsetenv(vq::reg::kUserFileEnv);
}

}  // namespace
