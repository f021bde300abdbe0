// Device enumeration and choice against the fake PC/SC library and the fake PKCS#11 module
// backed by SoftHSM2 tokens.
#include <gtest/gtest.h>

#include "devices/psa.h"
#include "storage/codes.h"
#include "tests/fakes/test_env.h"
#include "tests/support/test_paths.h"

namespace vq {
namespace {

using testing::DeviceEnv;

constexpr const char* kCardAtr = "3B8F8001804F0CA000000306030001000000006A";
constexpr const char* kTokenAtr = "3BDB960080B1FE451F830031C0641F1801000790005F";
constexpr const char* kGemplusAtr = "3BA70040188065A209010152";

class ScriptedChooser : public IDeviceChooser {
  public:
    int answer = 0;
    int calls = 0;
    DeviceEntries seen;
    int ChooseDevice(CPSA&, DeviceKind, DeviceEntries& entries) override {
        ++calls;
        seen = entries;
        return answer;
    }
};

class Enumeration : public ::testing::Test {
  protected:
    void SetUp() override {
        env.UseFakes();
        env.InitToken("token-a");
        env.InitToken("card-b");
    }
    void Readers(const std::string& pcsc, const std::string& slots, const std::string& extra = "") {
        env.Write("pcsc.conf", "log " + env.Path("pcsc.log") + "\n" + pcsc);
        env.Write("p11.conf", std::string("backend ") + testing::kSoftHsm + "\nlog " +
                                  env.Path("p11.log") + "\n" + slots + extra);
    }
    // The usual pair: a token reader and a card reader, each with its device.
    void TokenAndCard(const std::string& extra = "") {
        Readers(std::string("reader Feitian ePass Key 00|") + kTokenAtr +
                    "\nreader Gemalto PC Twin Reader 01|" + kCardAtr + "\n",
                "slot Feitian ePass Key 00|token=token-a\nslot Gemalto PC Twin Reader "
                "01|token=card-b\n",
                extra);
    }
    DeviceEnv env;
    CPSA psa;
};

TEST_F(Enumeration, KindSelectsCardOrTokenAndAnyAsksTheUser) {
    TokenAndCard();
    CK_SLOT_ID slot = 99;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kOk);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(psa.tokenFlag(), 0);
    EXPECT_NE(psa.session(), 0u);
    psa.CloseSession();
    psa.UnloadModule();

    ASSERT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &slot), code::kOk);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(psa.tokenFlag(), 1);
    EXPECT_EQ(psa.moduleKind(), kModulePkcs11);
    psa.CloseSession();
    psa.UnloadModule();

    ScriptedChooser chooser;
    chooser.answer = 1;
    psa.SetDeviceChooser(&chooser);
    ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
    EXPECT_EQ(chooser.calls, 1);
    ASSERT_EQ(chooser.seen.size(), 2u);
    EXPECT_EQ(chooser.seen[0].reader, "Feitian ePass Key 00");
    EXPECT_EQ(chooser.seen[1].reader, "Gemalto PC Twin Reader 01");
    EXPECT_EQ(chooser.seen[0].serial.size(), 16u);
    EXPECT_NE(chooser.seen[0].serial, chooser.seen[1].serial);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(psa.tokenFlag(), 0);
    psa.CloseSession();
    psa.UnloadModule();

    chooser.answer = -1;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kCancelled);
    EXPECT_EQ(psa.session(), 0u);
}

TEST_F(Enumeration, ListDevicesReportsEntriesInReaderOrder) {
    TokenAndCard();
    DeviceEntries entries;
    ASSERT_EQ(psa.ListDevices(DeviceKind::Any, entries), code::kOk);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].slot, 0u);
    EXPECT_EQ(entries[1].slot, 1u);
    EXPECT_EQ(entries[1].moduleKind, kModulePkcs11);
    ASSERT_EQ(psa.ListDevices(DeviceKind::UsbToken, entries), code::kOk);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].reader, "Feitian ePass Key 00");
    // Probed devices are closed again: no session stays open after listing.
    EXPECT_EQ(psa.session(), 0u);
}

TEST_F(Enumeration, TokensListMakesAReaderAToken) {
    env.SetTokens({"3B00", kCardAtr});
    Readers(std::string("reader Plain Reader 00|") + kCardAtr + "\n",
            "slot Plain Reader 00|token=card-b\n");
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kNoReader);
    ASSERT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &slot), code::kOk);
    EXPECT_EQ(psa.tokenFlag(), 1);
}

TEST_F(Enumeration, OneUsableDeviceIsChosenWithoutAsking) {
    Readers(std::string("reader Empty Reader 00|\nreader Card Reader 01|") + kCardAtr + "\n",
            "slot Empty Reader 00|absent\nslot Card Reader 01|token=card-b\n");
    ScriptedChooser chooser;
    psa.SetDeviceChooser(&chooser);
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
    EXPECT_EQ(chooser.calls, 0);
    EXPECT_EQ(slot, 1u);
}

TEST_F(Enumeration, ReadersWithoutUsableDevice) {
    Readers("reader Empty Reader 00|\nreader Empty Key 01|\n",
            "slot Empty Reader 00|absent\nslot Empty Key 01|absent\n");
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kNoCard);
    EXPECT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &slot), code::kNoToken);
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kNoCard);
    EXPECT_EQ(psa.loaded(), false);
}

TEST_F(Enumeration, OnlyTheFirstTenReadersAreLookedAt) {
    std::string readers;
    std::string slots;
    for (int i = 0; i < 10; ++i) {
        readers += "reader Empty Reader " + std::to_string(i) + "|\n";
        slots += "slot Empty Reader " + std::to_string(i) + "|absent\n";
    }
    readers += std::string("reader Late Reader 10|") + kCardAtr + "\n";
    slots += "slot Late Reader 10|token=card-b\n";
    Readers(readers, slots);
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kNoCard);
    EXPECT_NE(env.Read("pcsc.log").find("SCardLocateCardsA count=10 "), std::string::npos);
}

TEST_F(Enumeration, CardFilterHoldsKnownModelsInTableOrder) {
    Readers(
        std::string("card Foreign Card\ncard GXPPro-R3.x STD\ncard ProtectorCard\nreader R 0|") +
            kCardAtr + "\n",
        "slot R 0|token=card-b\n");
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
    EXPECT_NE(env.Read("pcsc.log").find("cards=ProtectorCard,GXPPro-R3.x STD,\n"),
              std::string::npos)
        << env.Read("pcsc.log");
}

TEST_F(Enumeration, GemplusCardIsOpenedThroughGclibWithReaderPosition) {
    Readers(
        std::string("reader Empty 0|\nreader Empty 1|\nreader Gemplus GemPC 2|") + kGemplusAtr +
            "\n",
        "slot Empty 0|absent\nslot Empty 1|absent\nslot Gemplus GemPC 2|token=card-b|pinleft=0\n");
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kOk);
    EXPECT_EQ(slot, 2u);
    EXPECT_EQ(psa.moduleKind(), kModuleGemplus);
    EXPECT_NE(env.Read("p11.log").find("C_OpenSession 2"), std::string::npos);
    // The Gemplus library reports the tries left in the session's device error.
    ASSERT_EQ(psa.ReadTokenState(), code::kOk);
    EXPECT_TRUE(psa.userPinLocked());
    EXPECT_FALSE(psa.pukLocked());
    std::string keys;
    ASSERT_EQ(psa.ListKeys(keys), code::kOk);
    EXPECT_EQ(keys, "GemplusCard|");
}

TEST_F(Enumeration, GclibWithReadableVersionIsRefused) {
    // A module whose version information can be read is admitted only as "pkcs11.dll".
    env.MapLibrary("gclib.dll", "/usr/lib/x86_64-linux-gnu/libpcsclite.so.1");
    EXPECT_EQ(CPSA::CheckModuleVersion("gclib.dll"), code::kModuleRefused);
    Readers(std::string("reader Gemplus GemPC 0|") + kGemplusAtr + "\n",
            "slot Gemplus GemPC 0|token=card-b\n");
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kNoCard);
    EXPECT_FALSE(psa.loaded());
}

TEST_F(Enumeration, AlreadyInitialisedCountsAsSuccess) {
    TokenAndCard("initialize 0x191\n");
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kOk);
    EXPECT_TRUE(psa.initialised());
}

TEST_F(Enumeration, OpenSessionIsKeptWithoutEnumerating) {
    TokenAndCard();
    CK_SLOT_ID slot = 0;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kOk);
    const std::string before = env.Read("pcsc.log");
    CK_SLOT_ID untouched = 77;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::UsbToken, &untouched), code::kOk);
    EXPECT_EQ(untouched, 77u);
    EXPECT_EQ(env.Read("pcsc.log"), before);
}

TEST_F(Enumeration, PcscFailuresGiveTheirCodes) {
    struct Case {
        const char* fail;
        DeviceKind kind;
        int expected;
    } cases[] = {
        {"SCardEstablishContext", DeviceKind::Any, code::kPcscUnavailable},
        {"SCardListCardsA", DeviceKind::Any, code::kPcscUnavailable},
        {"SCardListReadersA", DeviceKind::SmartCard, code::kNoReader},
        {"SCardListReadersA", DeviceKind::UsbToken, code::kNoToken},
        {"SCardListReadersA", DeviceKind::Any, code::kNoReader93},
        {"SCardLocateCardsA", DeviceKind::Any, code::kNoReader94},
    };
    for (const Case& c : cases) {
        Readers(std::string("fail ") + c.fail + " 0x8010002E\nreader R 0|" + kCardAtr + "\n",
                "slot R 0|token=card-b\n");
        CK_SLOT_ID slot = 0;
        EXPECT_EQ(psa.SelectDevice(c.kind, &slot), c.expected)
            << c.fail << " kind " << DeviceKindNumber(c.kind);
        EXPECT_EQ(psa.session(), 0u);
    }
    // Every context is released again.
    const std::string log = env.Read("pcsc.log");
    int established = 0, released = 0;
    for (std::size_t p = 0; (p = log.find("SCardEstablishContext", p)) != std::string::npos; ++p)
        ++established;
    for (std::size_t p = 0; (p = log.find("SCardReleaseContext", p)) != std::string::npos; ++p)
        ++released;
    EXPECT_EQ(released, established - 1);  // the failed establish has nothing to release
}

TEST_F(Enumeration, NoReadersAndNoLibrary) {
    Readers("", "");
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kNoReader95);
    EXPECT_EQ(psa.SelectDevice(DeviceKind::SmartCard, &slot), code::kNoReader);
    DeviceEntries entries;
    EXPECT_EQ(psa.ListDevices(DeviceKind::Any, entries), code::kOk);
    EXPECT_EQ(entries.size(), 0u);

    env.MapLibrary("winscard.dll", env.Path("missing.so"));
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kPcscLibraryMissing);
    // A library without the PC/SC functions.
    env.MapLibrary("winscard.dll", vq::test_paths::FakePkcs11());
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kPcscLibraryMissing);
}

}  // namespace
}  // namespace vq
