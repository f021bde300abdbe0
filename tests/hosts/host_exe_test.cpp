// The veriquill executable as administrators' scripts and headless runs use it: registry writers
// killed in the middle of a write, and what a scripted run prints on standard error.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
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

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
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

// ---- What a headless run prints on standard error ----

// A page that opens the order dialog and the on-screen keyboard; the scripted user cancels both.
const std::string kPage =
    "SetLanguage(1)\n"
    "SetKey(\"k1\", \"4669726D61\", \"0123456789ABCDEF0123456789ABCDEF01234567\", 1)\n"
    "Sign(\"|k1|\", \"k1\", \"41\")\n"
    "ShowKeyboard()\n";
const std::string kUser = "dialog 210\nclick 2\ndialog 202\nkey escape\n";
// The reader driver switches, without which Sign ends before its dialog.
const std::string kMachine =
    "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\SmartCard\\Components]\n"
    "\"GemPCKey USB\"=\"1\"\n\"GemPCTwin USB\"=\"1\"\n";

TEST_F(HostExe, ScriptedOffscreenRunKeepsQtsChatterOffStandardError) {
    WriteFile(dir_ / "machine.reg", kMachine);
    WriteFile(dir_ / "page.txt", kPage);
    WriteFile(dir_ / "ui.txt", kUser);
    const std::vector<std::string> args = {"run", "--ui=script:ui.txt", "--transcript", "t.jsonl",
                                           "page.txt"};
    // As scripts/demo runs it without a display: no X, no runtime directory.
    const std::vector<std::string> headless = {"DISPLAY", "WAYLAND_DISPLAY", "XDG_RUNTIME_DIR",
                                               "QT_QPA_PLATFORM", "VERIQUILL_DEBUG"};
    ASSERT_EQ(0, Run(args, {}, headless)) << err_;
    EXPECT_EQ("\n0\n8\n8\n", out_);
    EXPECT_EQ("", err_);
    // The same with the offscreen platform named explicitly, as the tests run.
    ASSERT_EQ(0, Run(args, {"QT_QPA_PLATFORM=offscreen"}, headless)) << err_;
    EXPECT_EQ("", err_);

    // Asked for, Qt's own warnings come through.
    ASSERT_EQ(0, Run(args, {"VERIQUILL_DEBUG=1"}, headless)) << err_;
    EXPECT_NE(std::string::npos, err_.find("XDG_RUNTIME_DIR")) << err_;

    // The program's own messages still reach standard error.
    WriteFile(dir_ / "page.txt", kPage + "NoSuchMethod()\n");
    WriteFile(dir_ / "ui.txt", kUser + "dialog 210\n");
    EXPECT_EQ(1, Run(args, {}, headless));
    EXPECT_NE(std::string::npos, err_.find("NoSuchMethod")) << err_;
    EXPECT_NE(std::string::npos, err_.find("left unused")) << err_;
    EXPECT_EQ(std::string::npos, err_.find("XDG_RUNTIME_DIR")) << err_;
    EXPECT_EQ(std::string::npos, err_.find("propagateSizeHints")) << err_;
}

// An X server of the test's own (Xvfb) on a display number nobody uses; none when Xvfb is absent
// or does not come up within 20 s.
class OwnDisplay {
  public:
    OwnDisplay() {
        for (int n = 100 + ::getpid() % 100, tries = 0; tries < 20 && display_.empty();
             ++n, ++tries) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            if (fs::exists(socket) || fs::exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
            Start(n, socket);
        }
    }
    ~OwnDisplay() { Stop(); }
    const std::string& display() const { return display_; }

  private:
    void Start(int n, const std::string& socket) {
        pid_ = ::fork();
        if (pid_ == 0) {
            std::freopen("/dev/null", "w", stderr);
            const std::string name = ":" + std::to_string(n);
            ::execlp("Xvfb", "Xvfb", name.c_str(), "-nolisten", "tcp", "-screen", "0", "640x480x24",
                     static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) return;
        // Ready once its socket takes connections; gone when it gave up.
        for (int i = 0; i < 2000; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, socket.c_str(), sizeof addr.sun_path - 1);
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (up) {
                display_ = ":" + std::to_string(n);
                return;
            }
            ::usleep(10000);
        }
        Stop();
    }
    void Stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    pid_t pid_ = -1;
    std::string display_;
};

TEST_F(HostExe, InteractiveRunOnADisplayStillShowsQtsWarnings) {
    OwnDisplay x;
    if (x.display().empty())
        GTEST_SKIP() << "Xvfb could not be started (scripts/setup installs it)";
    WriteFile(dir_ / "page.txt", "TestComponent()\n");
    ASSERT_EQ(0, Run({"run", "--ui=qt", "page.txt"}, {"DISPLAY=" + x.display()},
                     {"XDG_RUNTIME_DIR", "QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "VERIQUILL_DEBUG"}))
        << err_;
    EXPECT_EQ("OK|1,3,0,90\n", out_);
    EXPECT_NE(std::string::npos, err_.find("XDG_RUNTIME_DIR")) << err_;
}

TEST_F(HostExe, WithoutADisplayTheDefaultUserInterfaceCancelsEveryDialog) {
    WriteFile(dir_ / "page.txt", "ShowKeyboard()\nShowKeyboard()\n");
    EXPECT_EQ(0, Run({"run", "page.txt"}, {},
                     {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "VERIQUILL_DEBUG"}))
        << "still waiting for a user after a minute";
    EXPECT_EQ("8\n8\n", out_);
    // Only the program's own word on each dialog it had to cancel.
    EXPECT_EQ(
        "veriquill: no user interface; dialog 202 cancelled\n"
        "veriquill: no user interface; dialog 202 cancelled\n",
        err_);
}

}  // namespace
