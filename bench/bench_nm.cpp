// The native messaging host's round trip: TestComponent through veriquill-nm against a minimal
// echo host built from the same framing code (this program started with --echo-host), in the
// same run. Also the host's start-up: process start to the answer of its first message.
// Wall time throughout: the work is in another process.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "hosts/nm/framing.h"
#include "tests/support/test_paths.h"

extern char** environ;

namespace {

std::string g_self;
std::string g_dir;

const std::string kChromiumCaller = "chrome-extension://jjnhdbfhfgjpiajpomnpebcebdncpmnf/";
const std::string kOpen = R"({"type":"open","origin":"https://bank.example"})";
const std::string kCall = R"({"type":"call","id":1,"method":"TestComponent","args":[]})";

int EchoHost() {
    std::string body;
    while (vq::nm::ReadMessage(0, body) == vq::nm::ReadStatus::kMessage)
        if (!vq::nm::WriteMessage(1, body)) return 1;
    return 0;
}

class Child {
  public:
    explicit Child(bool echo) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC)) std::abort();
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out[1], 1);
        std::vector<std::string> args =
            echo ? std::vector<std::string>{g_self, "--echo-host"}
                 : std::vector<std::string>{vq::test_paths::NmHost(), kChromiumCaller};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, args[0].c_str(), &fa, nullptr, argv.data(), environ) != 0)
            std::abort();
        posix_spawn_file_actions_destroy(&fa);
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~Child() {
        ::close(to_);
        ::close(from_);
        ::waitpid(pid_, nullptr, 0);
    }
    bool RoundTrip(const std::string& message) {
        std::string reply;
        return vq::nm::WriteMessage(to_, message) &&
               vq::nm::ReadMessage(from_, reply) == vq::nm::ReadStatus::kMessage;
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
};

void BM_EchoHostRoundTrip(benchmark::State& state) {
    Child c(true);
    c.RoundTrip(kOpen);
    for (auto _ : state)
        if (!c.RoundTrip(kCall)) state.SkipWithError("echo host failed");
}
BENCHMARK(BM_EchoHostRoundTrip)->UseRealTime();

void BM_HostTestComponentRoundTrip(benchmark::State& state) {
    Child c(false);
    if (!c.RoundTrip(kOpen)) state.SkipWithError("veriquill-nm did not open");
    for (auto _ : state)
        if (!c.RoundTrip(kCall)) state.SkipWithError("veriquill-nm failed");
}
BENCHMARK(BM_HostTestComponentRoundTrip)->UseRealTime();

void BM_EchoHostStartUp(benchmark::State& state) {
    for (auto _ : state) {
        Child c(true);
        if (!c.RoundTrip(kOpen)) state.SkipWithError("echo host failed");
    }
}
BENCHMARK(BM_EchoHostStartUp)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_HostStartUp(benchmark::State& state) {
    for (auto _ : state) {
        Child c(false);
        if (!c.RoundTrip(kOpen)) state.SkipWithError("veriquill-nm did not open");
    }
}
BENCHMARK(BM_HostStartUp)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20);

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // With --benchmark_repetitions the median stands for a benchmark (the machine is shared).
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const double t =
                r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
            const std::string name = r.run_name.function_name;
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
                median_[name] = t;
            else if (r.run_type == Run::RT_Iteration)
                time_[name] = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto t = [&](const std::string& name) {
            if (median_.count(name)) return median_[name];
            return time_.count(name) ? time_[name] : 0.0;
        };
        const double echo = t("BM_EchoHostRoundTrip"), host = t("BM_HostTestComponentRoundTrip");
        if (echo > 0 && host > 0)
            std::printf("ratio TestComponent round trip host/echo: %.3f (target <= 1.5)\n",
                        host / echo);
        if (t("BM_HostStartUp") > 0)
            std::printf("host start-up to first answer: %.1f ms (echo host: %.1f ms)\n",
                        t("BM_HostStartUp") * 1e3, t("BM_EchoHostStartUp") * 1e3);
    }

  private:
    std::map<std::string, double> time_;
    std::map<std::string, double> median_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--echo-host") == 0) return EchoHost();
    ::signal(SIGPIPE, SIG_IGN);
    g_self = argv[0];
    // A private machine configuration that allows the benchmark's page; no user interface.
    char pattern[] = "/tmp/vq-bench-nm-XXXXXX";
    g_dir = mkdtemp(pattern);
    const std::string reg = g_dir + "/machine.reg";
    if (FILE* f = std::fopen(reg.c_str(), "w")) {
        std::fputs(
            "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\Veriquill]\n"
            "\"AllowedOrigins\"=hex(7):68,74,74,70,73,3a,2f,2f,62,61,6e,6b,2e,65,78,61,6d,"
            "70,6c,65,00,00\n",
            f);
        std::fclose(f);
    }
    setenv("VERIQUILL_HKLM", reg.c_str(), 1);
    setenv("VERIQUILL_HKCU", (g_dir + "/user.reg").c_str(), 1);
    setenv("VERIQUILL_NM_UI", "none", 1);
    setenv("VERIQUILL_NM_LOG", (g_dir + "/host.log").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    return 0;
}
