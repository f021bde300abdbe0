// SelectDevice over ten fake readers, each backed by a SoftHSM2 token through the fake PKCS#11
// module. Reports the time per reader and the share of it spent loading and initialising the
// module (LoadModule + InitializeModule + UnloadModule, the baseline measured in the same run).
// Every probe reloads the module, so that share is expected to dominate.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "devices/psa.h"
#include "platform/registry/registry.h"
#include "tests/support/test_paths.h"

namespace {

constexpr int kReaders = 10;

struct FirstRow : vq::IDeviceChooser {
    int ChooseDevice(vq::CPSA&, vq::DeviceKind, vq::DeviceEntries&) override { return 0; }
};

struct Machine {
    std::string dir;
    bool ok = false;
    Machine() {
        char pattern[] = "/tmp/vq-bench-XXXXXX";
        dir = mkdtemp(pattern);
        std::filesystem::create_directories(dir + "/tokens");
        std::ofstream(dir + "/softhsm2.conf")
            << "directories.tokendir = " << dir << "/tokens\nobjectstore.backend = file\n";
        setenv("SOFTHSM2_CONF", (dir + "/softhsm2.conf").c_str(), 1);
        setenv(vq::reg::kMachineFileEnv, (dir + "/machine.reg").c_str(), 1);
        setenv("VQ_FAKE_PCSC_CONFIG", (dir + "/pcsc.conf").c_str(), 1);
        setenv("VQ_FAKE_P11_CONFIG", (dir + "/p11.conf").c_str(), 1);
        vq::reg::KeyPtr key;
        if (vq::reg::CreateKey(vq::reg::Root::LocalMachine, vq::loader::kLibrariesKey,
                               vq::reg::kKeyAllAccess, key) != 0)
            return;
        for (auto [name, path] : {std::pair{"winscard.dll", vq::test_paths::FakeWinscard()},
                                  std::pair{"pkcs11.dll", vq::test_paths::FakePkcs11()}}) {
            const std::string value = std::string(path) + '\0';
            vq::reg::SetValue(*key, name, vq::reg::kRegSz,
                              reinterpret_cast<const unsigned char*>(value.data()),
                              static_cast<std::uint32_t>(value.size()));
        }
        std::ofstream pcsc(dir + "/pcsc.conf");
        std::ofstream p11(dir + "/p11.conf");
        p11 << "backend /usr/lib/softhsm/libsofthsm2.so\n";
        for (int i = 0; i < kReaders; ++i) {
            const std::string label = "bench" + std::to_string(i);
            const std::string cmd = "softhsm2-util --init-token --free --label " + label +
                                    " --pin 1234 --so-pin 87654321 >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0) return;
            pcsc << "reader Bench Reader " << i << "|3B8F8001804F0CA000000306030001000000006A\n";
            p11 << "slot Bench Reader " << i << "|token=" << label << "\n";
        }
        ok = true;
    }
    ~Machine() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Machine& TheMachine() {
    static Machine machine;
    return machine;
}

double LoadInitialiseSeconds() {
    vq::CPSA psa;
    constexpr int kRounds = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kRounds; ++i) {
        psa.LoadModule("pkcs11.dll");
        psa.InitializeModule();
        psa.UnloadModule();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
           kRounds;
}

void BM_LoadInitialise(benchmark::State& state) {
    if (!TheMachine().ok) return state.SkipWithError("SoftHSM2 tokens could not be made");
    vq::CPSA psa;
    for (auto _ : state) {
        if (psa.LoadModule("pkcs11.dll") != 0 || psa.InitializeModule() != 0)
            return state.SkipWithError("module cannot be loaded");
        psa.UnloadModule();
    }
}
BENCHMARK(BM_LoadInitialise)->Unit(benchmark::kMillisecond);

void BM_SelectDevice(benchmark::State& state) {
    if (!TheMachine().ok) return state.SkipWithError("SoftHSM2 tokens could not be made");
    const double loadInit = LoadInitialiseSeconds();
    FirstRow chooser;
    vq::CPSA psa;
    psa.SetDeviceChooser(&chooser);
    CK_SLOT_ID slot = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (psa.SelectDevice(vq::DeviceKind::SmartCard, &slot) != 0)
            return state.SkipWithError("SelectDevice failed");
        psa.CloseSession();
        psa.UnloadModule();
    }
    const double perSelect =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() /
        static_cast<double>(state.iterations());
    state.counters["ms_per_reader"] = perSelect * 1000.0 / kReaders;
    // Ten probes and the final open each load and initialise the module once.
    state.counters["load_init_share"] = (kReaders + 1) * loadInit / perSelect;
}
BENCHMARK(BM_SelectDevice)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
