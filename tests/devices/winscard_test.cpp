// The "winscard.dll" stand-in against a real pcscd with vsmartcard's virtual reader (vpcd) and
// card (vicc). The daemon runs in its own mount namespace with a private /run, so it never meets
// the machine's own pcscd; the card emulator talks to the virtual reader on a private port.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "devices/psa.h"
#include "platform/loader/loader.h"
#include "platform/pcsc/winscard_api.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "tests/fakes/test_env.h"
#include "tests/support/test_paths.h"

namespace vq {
namespace {

using testing::DeviceEnv;

constexpr const char* kViccAtr = "3B951381018073FF01000B";

pid_t Spawn(const std::string& command, const std::string& logFile) {
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        execl("/bin/sh", "sh", "-c", ("exec " + command + " >" + logFile + " 2>&1").c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

void Stop(pid_t pid) {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

class RealPcscd : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a private pcscd needs root (mount namespace)";
        for (const char* tool : {"/usr/sbin/pcscd", "/usr/bin/vicc", "/usr/bin/unshare",
                                 "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"})
            if (access(tool, X_OK) != 0 && access(tool, R_OK) != 0)
                GTEST_SKIP() << tool
                             << " is missing: install pcscd, vsmartcard-vpcd, vsmartcard-vpicc";
        const std::string probe = testing::RunCommand("unshare -m true");
        if (!probe.empty()) GTEST_SKIP() << "mount namespaces unavailable: " << probe;

        // vpcd listens on the port and the next one (one per reader); tests run side by side, so
        // each process takes a pair that no neighbouring pid can overlap.
        const int port = 20000 + 2 * static_cast<int>(getpid() % 20000);
        // pcsc-lite reads the socket name once per process: every test here uses the same one.
        run_ = "/tmp/vq-pcscd-" + std::to_string(getpid());
        std::filesystem::create_directories(run_ + "/pcscd");
        std::filesystem::create_directories(env.Path("conf"));
        char device[64];
        std::snprintf(device, sizeof device, "/dev/null:0x%X", port);
        env.Write("conf/vpcd", std::string("FRIENDLYNAME \"Virtual PCD\"\nDEVICENAME ") + device +
                                   "\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\n"
                                   "CHANNELID " +
                                   std::to_string(port) + "\n");
        pcscd_ = Spawn("unshare -m sh -c 'mount --bind " + run_ +
                           " /run && exec /usr/sbin/pcscd -f -c " + env.Path("conf") + "'",
                       env.Path("pcscd.log"));
        setenv("PCSCLITE_CSOCK_NAME", (run_ + "/pcscd/pcscd.comm").c_str(), 1);
        for (int i = 0; i < 100 && !std::filesystem::exists(run_ + "/pcscd/pcscd.comm"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(std::filesystem::exists(run_ + "/pcscd/pcscd.comm")) << env.Read("pcscd.log");

        // vicc on Debian 12 needs its own module path and the Cryptodome package under "Crypto".
        std::filesystem::create_directories(env.Path("shim"));
        std::filesystem::create_symlink("/usr/lib/python3/dist-packages/Cryptodome",
                                        env.Path("shim/Crypto"));
        vicc_ = Spawn("env PYTHONPATH=/usr/lib/python3/site-packages/virtualsmartcard:" +
                          env.Path("shim") + " /usr/bin/vicc -t iso7816 -P " + std::to_string(port),
                      env.Path("vicc.log"));

        env.MapLibrary("winscard.dll", vq::test_paths::WinscardStandin());
        // The card database, as the Windows registry keeps it.
        reg::KeyPtr key;
        ASSERT_EQ(
            reg::CreateKey(reg::Root::LocalMachine,
                           "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\ProtectorCard",
                           reg::kKeyAllAccess, key),
            0);
        std::vector<unsigned char> atr;
        ASSERT_EQ(HexDecode(kViccAtr, atr), 0);
        ASSERT_EQ(reg::SetValue(*key, "ATR", reg::kRegBinary, atr.data(), atr.size()), 0);
        ASSERT_EQ(
            reg::CreateKey(reg::Root::LocalMachine,
                           "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards\\Other Card",
                           reg::kKeyAllAccess, key),
            0);
        const unsigned char other[] = {0x3B, 0x00};
        ASSERT_EQ(reg::SetValue(*key, "ATR", reg::kRegBinary, other, sizeof other), 0);

        library = loader::Library::Load("winscard.dll");
        ASSERT_TRUE(library) << library.errorText();
        establish = library.Function<SCardEstablishContextFn>("SCardEstablishContext");
        release = library.Function<SCardReleaseContextFn>("SCardReleaseContext");
        listReaders = library.Function<SCardListReadersAFn>("SCardListReadersA");
        listCards = library.Function<SCardListCardsAFn>("SCardListCardsA");
        locate = library.Function<SCardLocateCardsAFn>("SCardLocateCardsA");
        freeMemory = library.Function<SCardFreeMemoryFn>("SCardFreeMemory");
        ASSERT_TRUE(establish && release && listReaders && listCards && locate && freeMemory);
    }
    void TearDown() override {
        Stop(vicc_);
        Stop(pcscd_);
        std::error_code ec;
        std::filesystem::remove_all(run_, ec);
    }
    static std::vector<std::string> Split(const char* list) {
        std::vector<std::string> out;
        for (const char* p = list; p && *p; p += std::strlen(p) + 1) out.emplace_back(p);
        return out;
    }

    DeviceEnv env;
    std::string run_;
    pid_t pcscd_ = -1;
    pid_t vicc_ = -1;
    loader::Library library;
    SCardEstablishContextFn establish = nullptr;
    SCardReleaseContextFn release = nullptr;
    SCardListReadersAFn listReaders = nullptr;
    SCardListCardsAFn listCards = nullptr;
    SCardLocateCardsAFn locate = nullptr;
    SCardFreeMemoryFn freeMemory = nullptr;
};

TEST_F(RealPcscd, ListsReadersCardsAndLocatesTheVirtualCard) {
    SCARDCONTEXT context = 0;
    ASSERT_EQ(establish(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);

    char* readers = nullptr;
    DWORD length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(listReaders(context, nullptr, reinterpret_cast<LPSTR>(&readers), &length),
              SCARD_S_SUCCESS);
    const auto names = Split(readers);
    EXPECT_EQ(freeMemory(context, readers), SCARD_S_SUCCESS);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "Virtual PCD 00 00");
    EXPECT_EQ(names[1], "Virtual PCD 00 01");

    char* cards = nullptr;
    length = SCARD_AUTOALLOCATE;
    ASSERT_EQ(listCards(context, nullptr, nullptr, 0, reinterpret_cast<LPSTR>(&cards), &length),
              SCARD_S_SUCCESS);
    EXPECT_EQ(Split(cards), (std::vector<std::string>{"ProtectorCard", "Other Card"}));
    freeMemory(context, cards);
    // Sizing call, then a buffer of the caller's.
    length = 0;
    ASSERT_EQ(listCards(context, nullptr, nullptr, 0, nullptr, &length), SCARD_S_SUCCESS);
    std::vector<char> buffer(length);
    DWORD small = 3;
    EXPECT_EQ(listCards(context, nullptr, nullptr, 0, buffer.data(), &small),
              SCARD_E_INSUFFICIENT_BUFFER);
    ASSERT_EQ(listCards(context, nullptr, nullptr, 0, buffer.data(), &length), SCARD_S_SUCCESS);
    EXPECT_EQ(Split(buffer.data()).size(), 2u);

    // The card arrives within a few seconds of vicc starting.
    SCARD_READERSTATE states[2] = {};
    const std::string filter = std::string("ProtectorCard") + '\0' + '\0';
    for (int i = 0; i < 100; ++i) {
        for (int r = 0; r < 2; ++r) {
            states[r] = SCARD_READERSTATE{};
            states[r].szReader = names[r].c_str();
            states[r].dwCurrentState = SCARD_STATE_UNAWARE;
        }
        ASSERT_EQ(locate(context, filter.data(), states, 2), SCARD_S_SUCCESS);
        if (states[0].cbAtr > 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GT(states[0].cbAtr, 0u) << env.Read("vicc.log") << env.Read("pcscd.log");
    EXPECT_EQ(HexEncode(std::span<const unsigned char>(states[0].rgbAtr, states[0].cbAtr)),
              kViccAtr);
    EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_PRESENT);
    EXPECT_TRUE(states[0].dwEventState & SCARD_STATE_ATRMATCH);
    EXPECT_EQ(states[1].cbAtr, 0u);
    EXPECT_TRUE(states[1].dwEventState & SCARD_STATE_EMPTY);

    // A filter without the card's name finds the card but no match.
    const std::string otherFilter = std::string("Other Card") + '\0' + '\0';
    states[0].dwCurrentState = SCARD_STATE_UNAWARE;
    ASSERT_EQ(locate(context, otherFilter.data(), states, 1), SCARD_S_SUCCESS);
    EXPECT_GT(states[0].cbAtr, 0u);
    EXPECT_FALSE(states[0].dwEventState & SCARD_STATE_ATRMATCH);

    EXPECT_EQ(release(context), SCARD_S_SUCCESS);
}

TEST_F(RealPcscd, DeviceLayerFindsTheCardInTheVirtualReader) {
    env.InitToken("virtual");
    env.MapLibrary("pkcs11.dll", vq::test_paths::FakePkcs11());
    env.Write("p11.conf",
              std::string("backend ") + testing::kSoftHsm +
                  "\nslot Virtual PCD 00 00|token=virtual\nslot Virtual PCD 00 01|absent\n");
    CPSA psa;
    DeviceEntries entries;
    int rc = 0;
    for (int i = 0; i < 100; ++i) {
        // Wait for the daemon and for vicc's card to arrive in the reader.
        rc = psa.ListDevices(DeviceKind::SmartCard, entries);
        if (!entries.empty() && !entries[0].atr.empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_EQ(rc, code::kOk) << env.Read("pcscd.log");
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].reader, "Virtual PCD 00 00");
    EXPECT_EQ(HexEncode(entries[0].atr), kViccAtr);
    CK_SLOT_ID slot = 9;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kOk);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &slot), code::kOk);  // session open: kept
    psa.CloseSession();
    psa.UnloadModule();
    // The token test by ATR turns the same device into a USB token.
    env.SetTokens({kViccAtr});
    // Only the empty second reader is left for smart cards.
    EXPECT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kNoCard);
    ASSERT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &slot), code::kOk);
    EXPECT_EQ(psa.tokenFlag(), 1);
}

}  // namespace
}  // namespace vq
