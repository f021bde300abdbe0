// The host as the browser runs it: a process speaking native messaging on its standard streams.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/test_paths.h"

extern char** environ;

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr const char* kChromiumCaller = "chrome-extension://jjnhdbfhfgjpiajpomnpebcebdncpmnf/";

std::string Frame(const std::string& body) {
    const auto n = static_cast<std::uint32_t>(body.size());
    std::string f(4, '\0');
    std::memcpy(f.data(), &n, 4);
    return f + body;
}

class HostProcess {
  public:
    HostProcess(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        int in[2], out[2];
        EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> argStore{vq::test_paths::NmHost()};
        argStore.insert(argStore.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : argStore) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envStore;
        for (char** e = environ; *e; ++e) envStore.emplace_back(*e);
        envStore.insert(envStore.end(), env.begin(), env.end());
        std::vector<char*> envp;
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
        EXPECT_EQ(
            posix_spawn(&pid_, vq::test_paths::NmHost(), &fa, nullptr, argv.data(), envp.data()),
            0);
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~HostProcess() {
        CloseInput();
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void SendJson(const json& j) { Send(Frame(j.dump())); }
    void CloseInput() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }
    // Reads exactly n bytes within the deadline; nothing on timeout or end of stream.
    std::optional<std::string> ReadBytes(std::size_t n, Clock::time_point deadline) {
        std::string out;
        while (out.size() < n) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left <= 0) return std::nullopt;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            char buf[4096];
            const ssize_t r = ::read(out_, buf, std::min(sizeof buf, n - out.size()));
            if (r <= 0) return std::nullopt;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return out;
    }
    // The next message; null JSON on timeout or end of output.
    json Receive(int seconds = 20) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        const auto header = ReadBytes(4, deadline);
        if (!header) return json();
        std::uint32_t n;
        std::memcpy(&n, header->data(), 4);
        const auto body = ReadBytes(n, deadline);
        if (!body) return json();
        return json::parse(*body, nullptr, false);
    }
    // Everything left on standard output until it closes.
    std::string Rest(int seconds = 20) {
        std::string all;
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (auto chunk = ReadBytes(1, deadline)) all += *chunk;
        return all;
    }
    // Exit status, or -1 when the process is still running at the deadline.
    int Wait(int seconds = 20) {
        const auto deadline = Clock::now() + std::chrono::seconds(seconds);
        while (Clock::now() < deadline) {
            int st = 0;
            if (::waitpid(pid_, &st, WNOHANG) == pid_) {
                status_ = st;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            ::usleep(20000);
        }
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::optional<int> status_;
};

class NmHostProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        ::signal(SIGPIPE, SIG_IGN);
        char pattern[] = "/tmp/vq-nmp-XXXXXX";
        dir_ = mkdtemp(pattern);
        std::ofstream(dir_ + "/machine.reg")
            << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\Veriquill]\n"
               "\"AllowedOrigins\"=hex(7):68,74,74,70,73,3a,2f,2f,62,61,6e,6b,2e,65,78,61,6d,"
               "70,6c,65,00,00\n";  // https://bank.example
        env_ = {"VERIQUILL_HKLM=" + dir_ + "/machine.reg", "VERIQUILL_HKCU=" + dir_ + "/user.reg",
                "VERIQUILL_NM_LOG=" + dir_ + "/host.log", "VERIQUILL_NM_UI=none",
                "QT_QPA_PLATFORM=offscreen"};
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Log() const {
        std::ifstream in(dir_ + "/host.log");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static json Open() { return {{"type", "open"}, {"origin", "https://bank.example"}}; }
    static json Call(int id, const std::string& method, const json& args) {
        return {{"type", "call"}, {"id", id}, {"method", method}, {"args", args}};
    }

    std::string dir_;
    std::vector<std::string> env_;
};

TEST_F(NmHostProcess, ServesCallsInOrderAndEndsAtEndOfInput) {
    HostProcess h({kChromiumCaller}, env_);
    // All at once: the host reads ahead but answers one call after the other.
    std::string burst = Frame(Open().dump());
    for (int i = 1; i <= 20; ++i)
        burst += Frame(Call(i, i % 2 ? "TestComponent" : "GetKeyLocation", {"k"}).dump());
    h.Send(burst);
    EXPECT_EQ(h.Receive()["type"], "opened");
    for (int i = 1; i <= 20; ++i) {
        const json r = h.Receive();
        EXPECT_EQ(r["id"], i);
        // TestComponent takes no argument; GetKeyLocation of an unknown key answers 509.
        if (i % 2)
            EXPECT_EQ(r["error"], "TestComponent: wrong number of arguments (0x8002000E)");
        else
            EXPECT_EQ(r["value"], "509");
    }
    h.CloseInput();
    EXPECT_EQ(h.Rest(), "");
    EXPECT_EQ(h.Wait(), 0);
    EXPECT_NE(Log().find("control released"), std::string::npos);
}

// The window system starts with the first call that may show a window, not with the process. A
// platform that does not exist proves it: Qt cannot start on it and ends the process, so calls
// that never show a window answer and the host ends cleanly only if Qt was left alone, and the
// first call that may show one ends the process.
TEST_F(NmHostProcess, WindowlessCallsNeverStartTheWindowSystem) {
    // The host takes the first of a name's entries: the test's own environment comes first.
    struct Platform {
        Platform() { setenv("QT_QPA_PLATFORM", "no-such-platform", 1); }
        ~Platform() { setenv("QT_QPA_PLATFORM", "offscreen", 1); }
    } platform;
    const std::vector<std::pair<std::string, json>> windowless = {
        {"TestComponent", json::array()},
        {"SetKey", {"k1", "4B31", "0123456789ABCDEF0123456789ABCDEF01234567", 1}},
        {"SetLanguage", {2}},
        {"SetSignDialogType", {2}},
        {"AddCardModel", {"3B00"}},
        {"SetKeyLocation", {"k1", "2F746D702F6B2E707276"}},
        {"GetKeyLocation", {"k1"}},
        {"RemoveKey", {"k1"}},
    };
    {
        HostProcess h({kChromiumCaller}, env_);
        h.SendJson(Open());
        EXPECT_EQ(h.Receive()["type"], "opened");
        int id = 0;
        for (const auto& [method, args] : windowless) {
            h.SendJson(Call(++id, method, args));
            const json r = h.Receive();
            EXPECT_TRUE(r.contains("value")) << method << ": " << r.dump();
        }
        h.CloseInput();
        EXPECT_EQ(h.Wait(), 0) << Log();
    }
    HostProcess h({kChromiumCaller}, env_);
    h.SendJson(Open());
    EXPECT_EQ(h.Receive()["type"], "opened");
    h.SendJson(Call(1, "ShowKeyboard", json::array()));
    EXPECT_EQ(h.Rest(), "");
    EXPECT_NE(h.Wait(), 0);
    EXPECT_NE(Log().find("no Qt platform plugin could be initialized"), std::string::npos) << Log();
}

TEST_F(NmHostProcess, BadFramesGetErrorsAndTheHostKeepsServing) {
    HostProcess h({kChromiumCaller}, env_);
    h.SendJson(Open());
    EXPECT_EQ(h.Receive()["type"], "opened");
    h.Send(Frame(""));  // zero length
    EXPECT_EQ(h.Receive()["error"], "malformed message: not valid JSON");
    h.Send(Frame("{\"type\":\"call\",\"id\":2,\"method\":\"RemoveKey\",\"args\":[\"\xff\xfe\"]}"));
    EXPECT_EQ(h.Receive()["error"], "malformed message: not valid JSON");
    // Over the limit, delivered in pieces: refused and read past.
    const std::string big =
        Frame(Call(3, "SetKey", {std::string(1024 * 1024, 'A'), "", "", 1}).dump());
    h.Send(big.substr(0, 3));
    ::usleep(20000);
    h.Send(big.substr(3));
    const json tooBig = h.Receive();
    EXPECT_EQ(tooBig["type"], "error");
    EXPECT_EQ(tooBig["id"], nullptr);
    EXPECT_NE(tooBig["error"].get<std::string>().find("exceeds the limit of 1048576 bytes"),
              std::string::npos);
    h.SendJson(Call(4, "TestComponent", json::array()));
    EXPECT_EQ(h.Receive()["value"], "OK|1,3,0,90");
    h.CloseInput();
    EXPECT_EQ(h.Wait(), 0);
}

TEST_F(NmHostProcess, TruncatedLastMessageEndsTheHost) {
    HostProcess h({kChromiumCaller}, env_);
    h.SendJson(Open());
    EXPECT_EQ(h.Receive()["type"], "opened");
    h.Send(std::string("\x40\x00\x00\x00{\"type\"", 11));
    h.CloseInput();
    EXPECT_EQ(h.Rest(), "");
    EXPECT_EQ(h.Wait(), 0);
    EXPECT_NE(Log().find("ended inside a message"), std::string::npos);
}

TEST_F(NmHostProcess, OnlyTheExtensionMayStartIt) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{},
          {"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"},
          {"/tmp/manifest.json", "someone@example.com"}}) {
        HostProcess h(args, env_);
        h.SendJson(Open());
        EXPECT_EQ(h.Rest(), "");  // not a byte for a stranger
        EXPECT_EQ(h.Wait(), 1);
    }
    EXPECT_NE(Log().find("not started by the Veriquill extension"), std::string::npos);
    HostProcess firefox({"/usr/lib/mozilla/native-messaging-hosts/com.brantwell.veriquill.json",
                         "veriquill@brantwell.com"},
                        env_);
    firefox.SendJson(Open());
    EXPECT_EQ(firefox.Receive()["type"], "opened");
}

TEST_F(NmHostProcess, RefusedOriginGetsAReasonAndTheHostEnds) {
    HostProcess h({kChromiumCaller}, env_);
    h.SendJson({{"type", "open"}, {"origin", "https://evil.example"}});
    h.SendJson(Call(1, "TestComponent", json::array()));
    const json r = h.Receive();
    EXPECT_EQ(r["type"], "refused");
    EXPECT_NE(r["error"].get<std::string>().find("https://evil.example is not allowed"),
              std::string::npos);
    EXPECT_EQ(h.Rest(), "");  // the call after it is never served
    EXPECT_EQ(h.Wait(), 0);
}

TEST_F(NmHostProcess, NothingButMessagesReachesStandardOutput) {
    // Qt in its most talkative mode, and a user interface that writes a transcript to stderr. A
    // call that shows a window, so that Qt starts at all.
    std::ofstream(dir_ + "/ui.txt") << "dialog 202\nkey escape\n";
    auto env = env_;
    env.push_back("QT_LOGGING_RULES=*.debug=true");
    env.push_back("QT_DEBUG_PLUGINS=1");
    env.push_back("VERIQUILL_NM_UI=script:" + dir_ + "/ui.txt");
    HostProcess h({kChromiumCaller}, env);
    h.SendJson(Open());
    h.SendJson(Call(1, "ShowKeyboard", json::array()));
    h.CloseInput();
    const std::string out = h.Rest();
    // Exactly two frames, and nothing between or after them.
    std::size_t pos = 0;
    int frames = 0;
    while (pos + 4 <= out.size()) {
        std::uint32_t n;
        std::memcpy(&n, out.data() + pos, 4);
        ASSERT_LE(pos + 4 + n, out.size());
        EXPECT_FALSE(json::parse(out.substr(pos + 4, n), nullptr, false).is_discarded());
        pos += 4 + n;
        ++frames;
    }
    EXPECT_EQ(pos, out.size());
    EXPECT_EQ(frames, 2);
    EXPECT_EQ(h.Wait(), 0);
    EXPECT_NE(Log().find("qt."), std::string::npos);  // Qt did talk: into the log
}

TEST_F(NmHostProcess, TwoPagesAreTwoProcessesWithTheirOwnKeys) {
    HostProcess a({kChromiumCaller}, env_);
    HostProcess b({kChromiumCaller}, env_);
    a.SendJson(Open());
    b.SendJson(Open());
    EXPECT_EQ(a.Receive()["type"], "opened");
    EXPECT_EQ(b.Receive()["type"], "opened");
    a.SendJson(Call(1, "SetKey", {"k1", "4B31", "00", 0}));
    EXPECT_EQ(a.Receive()["value"], "0");
    b.SendJson(Call(1, "RemoveKey", {"k1"}));
    EXPECT_EQ(b.Receive()["value"], "1");  // b never saw a's key
    a.SendJson(Call(2, "RemoveKey", {"k1"}));
    EXPECT_EQ(a.Receive()["value"], "0");
    // One page going away leaves the other serving.
    a.CloseInput();
    EXPECT_EQ(a.Wait(), 0);
    b.SendJson(Call(2, "TestComponent", json::array()));
    EXPECT_EQ(b.Receive()["value"], "OK|1,3,0,90");
}

TEST_F(NmHostProcess, PageGoingAwayWhileADialogIsOpenEndsTheHost) {
    // Real windows (drawn off screen) that nobody answers: the keyboard waits for the user.
    auto env = env_;
    env.push_back("VERIQUILL_NM_UI=qt");
    HostProcess h({kChromiumCaller}, env);
    h.SendJson(Open());
    EXPECT_EQ(h.Receive()["type"], "opened");
    h.SendJson(Call(1, "ShowKeyboard", json::array()));
    ::usleep(500000);
    EXPECT_EQ(h.Wait(0), -1);  // still waiting for the user
    h.CloseInput();
    // The open dialog is closed as cancelled; the call ends and so does the process.
    const json r = h.Receive();
    EXPECT_EQ(r["value"], "8");
    EXPECT_EQ(h.Wait(10), 0);
}

}  // namespace
