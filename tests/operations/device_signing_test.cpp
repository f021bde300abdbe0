// The signing flow's device branches, end to end below the order dialog: the component with its
// default device back end signs through SignSession (the dialog's attempt loop) on SoftHSM2
// tokens behind the fake PC/SC library and the fake PKCS#11 module, and a scripted user answers
// the PIN prompt, the unblock dialog and the messages.
#include <gtest/gtest.h>

#include <fstream>

#include "devices/psa.h"
#include "dialogs/sign_dlg.h"
#include "operations/keys_storage_comp.h"
#include "operations/psa_backend.h"
#include "operations/sign_session.h"
#include "resources/text_ids.h"
#include "storage/cfg_reg.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "tests/devices/scripted_fixture.h"
#include "tests/dialogs/qt_app.h"
#include "tests/fakes/test_env.h"

namespace vq {
namespace {

using testing::RunCommand;
using testing::Utf8Text;

constexpr const char* kCardAtr = "3B8F8001804F0CA000000306030001000000006A";
constexpr const char* kTokenAtr = "3BDB960080B1FE451F830031C0641F1801000790005F";
constexpr const char* kCardReader = "Gemalto PC Twin Reader 00";
constexpr const char* kTokenReader = "Feitian ePass Key 01";
constexpr const char* kOrder = "ZLECENIE PRZELEWU\tKwota\t100,00 PLN\r\n";

std::string Pin(const std::string& pin) {
    return "dialog 201\ntype 201 \"" + pin + "\"\nclick 1\n";
}

class DeviceSigning : public testing::ScriptedUiTest {
  protected:
    void SetUp() override {
        ScriptedUiTest::SetUp();
        comp.SetSignDialogRunner([](SignSession& s) { return RunSignDialog(s); });
        env.UseFakes();
        env.InitToken("card");
        env.InitToken("token");
        Drivers("1", "1");
        env.Write("pcsc.conf", std::string("reader ") + kCardReader + "|" + kCardAtr + "\nreader " +
                                   kTokenReader + "|" + kTokenAtr + "\n");
        Slots("", "");
        cardPrint = Generate(DeviceKind::SmartCard, "card-key");
        tokenPrint = Generate(DeviceKind::UsbToken, "token-key");
        ASSERT_EQ(comp.SetKey("c1", HexEncode(std::string_view("card-key")).c_str(),
                              cardPrint.c_str(), kind::kSmartCard),
                  code::kOk);
        ASSERT_EQ(comp.SetKey("t1", HexEncode(std::string_view("token-key")).c_str(),
                              tokenPrint.c_str(), kind::kUsbToken),
                  code::kOk);
    }
    void Drivers(const std::string& twin, const std::string& key) {
        env.SetString(kDeviceConfigKey, "GemPCTwin USB", twin);
        env.SetString(kDeviceConfigKey, "GemPCKey USB", key);
    }
    // Slot lines of the fake module, each with extra settings ("|pinleft=0", ...).
    void Slots(const std::string& card, const std::string& token) {
        env.Write("p11.conf", std::string("backend ") + testing::kSoftHsm + "\nlog " +
                                  env.Path("p11.log") + "\nslot " + kCardReader + "|token=card" +
                                  card + "\nslot " + kTokenReader + "|token=token" + token + "\n");
    }
    std::string Generate(DeviceKind deviceKind, const std::string& label) {
        CPSA psa;
        CK_SLOT_ID slot = 0;
        EXPECT_EQ(psa.SelectDevice(deviceKind, &slot), code::kOk);
        const SecureString pin(testing::kUserPin);
        EXPECT_EQ(psa.LoginUser(&pin), code::kOk);
        std::string blob, print;
        EXPECT_EQ(psa.GenerateDeviceKeyPair(label.c_str(), 1024, blob, print), code::kOk);
        psa.CloseSession();
        psa.UnloadModule();
        return print;
    }
    // One press of the sign button, as the order dialog runs it.
    int Attempt(const std::string& keyId, bool silent = false) {
        session = std::make_unique<SignSession>(comp.signing());
        session->set_no_order(false);
        EXPECT_EQ(session->SetUp(HexEncode(std::string_view(kOrder)), "|c1|t1|a1|", keyId), 0);
        session->set_purpose(purpose::kOrder);
        session->set_silent(silent);
        for (std::size_t i = 0; i < comp.keys().Count(); ++i)
            if (comp.keys().At(i)->id == keyId) session->Select(static_cast<int>(i));
        return session->SigningAttempt(nullptr, nullptr);
    }
    // Only the card reader is connected, so that "any device" means the card.
    void CardReaderOnly() {
        env.Write("pcsc.conf", std::string("reader ") + kCardReader + "|" + kCardAtr + "\n");
    }
    // The card's key declared a second time, as a key of any device (kind 10).
    void DeclareAnyDeviceKey() {
        ASSERT_EQ(comp.SetKey("a1", HexEncode(std::string_view("card-key")).c_str(),
                              cardPrint.c_str(), kind::kAnyDevice),
                  code::kOk);
    }
    // Checks the signature with OpenSSL against the public key read from the token.
    void ExpectVerifies(const std::string& tokenLabel, const std::string& keyLabel) {
        const std::string der = env.Path(keyLabel + ".der"), pem = env.Path(keyLabel + ".pem");
        int status = 0;
        std::string out =
            env.Pkcs11Tool("--token-label " + tokenLabel + " --read-object --type pubkey --label " +
                               keyLabel + " -o " + der,
                           &status);
        ASSERT_EQ(status, 0) << out;
        out = RunCommand("openssl pkey -pubin -inform DER -in " + der + " -out " + pem, &status);
        ASSERT_EQ(status, 0) << out;
        std::ofstream(env.Path("order.bin"), std::ios::binary) << kOrder;
        const auto& sig = session->signature();
        std::ofstream(env.Path("sig.bin"), std::ios::binary)
            .write(reinterpret_cast<const char*>(sig.data()),
                   static_cast<std::streamsize>(sig.size()));
        out = RunCommand("openssl dgst -sha256 -verify " + pem + " -signature " +
                             env.Path("sig.bin") + " " + env.Path("order.bin"),
                         &status);
        EXPECT_EQ(status, 0) << out;
        EXPECT_NE(out.find("Verified OK"), std::string::npos) << out;
    }

    testing::DeviceEnv env;
    CKeysStorageComp comp;
    std::unique_ptr<SignSession> session;
    std::string cardPrint, tokenPrint;
};

TEST_F(DeviceSigning, SmartCardAndTokenKeysSignAfterThePinPrompt) {
    SetLanguageIndex(kLanguageEnglish);
    Script(Pin(testing::kUserPin) + Pin(testing::kUserPin));
    ASSERT_EQ(Attempt("c1"), code::kOk);
    EXPECT_EQ(session->signature().size(), 128u);
    ExpectVerifies("card", "card-key");
    ASSERT_EQ(Attempt("t1"), code::kOk);
    ExpectVerifies("token", "token-key");
    ExpectScriptDone();
    EXPECT_EQ(Count({"\"event\":\"dialog-open\",\"id\":201",
                     ui::JsonLine().Str("title", Utf8Text(kTextEnterPin)).Fields()}),
              2);
    // The signature ended with the session closed and the module finalised.
    std::string log = env.Read("p11.log");
    while (!log.empty() && log.back() == '\n') log.pop_back();
    const std::string last = log.substr(log.rfind('\n') + 1);
    EXPECT_EQ(last, "C_Finalize") << log;
    EXPECT_NE(log.rfind("C_CloseSession"), std::string::npos);
}

TEST_F(DeviceSigning, WrongPinAsksAgainWithinOneAttempt) {
    Script(Pin("9999") + "message ok\n" + Pin(testing::kUserPin));
    ASSERT_EQ(Attempt("c1"), code::kOk);
    ExpectVerifies("card", "card-key");
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextIncorrectPin)}), 0);
    EXPECT_EQ(comp.keys().Find("c1")->wrongPasswordCount, 0);
}

TEST_F(DeviceSigning, PinRunningOutWithThePukLockedGivesTheDeviceKeyList) {
    Slots("|pinleft=1|pukleft=0", "");
    Script(Pin("9999") + "message ok\n");
    ASSERT_EQ(Attempt("c1"), code::kPinAndPukLocked);
    ExpectScriptDone();
    EXPECT_EQ(session->code91Value(), "ProtectorCard|\"" + cardPrint + "\"");
    EXPECT_EQ(MapDeviceKeyList(comp.keys(), session->code91Value()), "c1");
}

TEST_F(DeviceSigning, DeviceBlockedBeforeTheFirstPressGivesItsKeyListForEveryDeviceKind) {
    // PIN and PUK are locked already: the PIN check of the prepare step finds it, before any
    // prompt, and reports the keys on that device as the sign step would.
    Slots("|pinleft=0|pukleft=0", "|pinleft=0|pukleft=0");
    DeclareAnyDeviceKey();
    Script("");
    for (bool silent : {false, true}) {
        ASSERT_EQ(Attempt("c1", silent), code::kPinAndPukLocked) << silent;
        EXPECT_EQ(session->code91Value(), "ProtectorCard|\"" + cardPrint + "\"");
        EXPECT_EQ(MapDeviceKeyList(comp.keys(), session->code91Value()), "c1|a1");
        ASSERT_EQ(Attempt("t1", silent), code::kPinAndPukLocked) << silent;
        EXPECT_EQ(MapDeviceKeyList(comp.keys(), session->code91Value()), "t1");
    }
    CardReaderOnly();
    ASSERT_EQ(Attempt("a1"), code::kPinAndPukLocked);
    EXPECT_EQ(MapDeviceKeyList(comp.keys(), session->code91Value()), "c1|a1");
    ExpectScriptDone();
    EXPECT_EQ(Find({"\"event\":\"dialog-open\""}), -1);
    // A later attempt on a device that is no longer blocked carries no stale list.
    Slots("", "");
    Script(Pin(testing::kUserPin));
    ASSERT_EQ(Attempt("c1"), code::kOk);
    EXPECT_EQ(session->code91Value(), "");
    ExpectScriptDone();
}

TEST_F(DeviceSigning, LockedPinStopsAnInteractiveSignatureWithoutAsking) {
    Slots("|pinleft=0", "");
    Script("");
    EXPECT_EQ(Attempt("c1"), code::kPinLocked);
    ExpectScriptDone();
    EXPECT_EQ(Find({"\"event\":\"dialog-open\""}), -1);
}

TEST_F(DeviceSigning, SilentSignatureUnblocksALockedTokenFirst) {
    SetLanguageIndex(kLanguageEnglish);
    Slots("", "|pinleft=0");
    Script(std::string("dialog 417\ntype 202 \"") + testing::kSoPin +
           "\"\ntype 203 \"4321\"\ntype 204 \"4321\"\nclick 1\n" + Pin("4321"));
    ASSERT_EQ(Attempt("t1", true), code::kOk);
    ExpectVerifies("token", "token-key");
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"dialog-open\",\"id\":417",
                    ui::JsonLine().Str("title", Utf8Text(kTextUnblockUsbDevice)).Fields()}),
              0);
    // The new PIN is the token's PIN now.
    int status = 0;
    const std::string out =
        env.Pkcs11Tool("--token-label token --login --pin 4321 --list-objects", &status);
    EXPECT_EQ(status, 0) << out;
}

TEST_F(DeviceSigning, SilentUnblockWithAWrongPukLeavesThePinLocked) {
    Slots("|pinleft=0", "");
    Script(
        "dialog 417\ntype 202 \"11111111\"\ntype 203 \"4321\"\ntype 204 \"4321\"\nclick 1\n"
        "dialog 417\nclick 2\n");
    EXPECT_EQ(Attempt("c1", true), code::kPinLocked);
    // A cancelled unblock is a locked PIN as well.
    EXPECT_EQ(Attempt("c1", true), code::kPinLocked);
    ExpectScriptDone();
}

TEST_F(DeviceSigning, UninitialisedDeviceGives120) {
    Slots("|clearflags=0x8", "");
    Script("");
    EXPECT_EQ(Attempt("c1"), code::kNotInitialised);
    ExpectScriptDone();
}

TEST_F(DeviceSigning, KeyNameMissingOnTheDeviceNamesTheDevice) {
    ASSERT_EQ(comp.SetKey("c1", HexEncode(std::string_view("gone")).c_str(), cardPrint.c_str(),
                          kind::kSmartCard),
              code::kOk);
    ASSERT_EQ(comp.SetKey("t1", HexEncode(std::string_view("gone")).c_str(), tokenPrint.c_str(),
                          kind::kUsbToken),
              code::kOk);
    Script(Pin(testing::kUserPin) + "message ok\n" + Pin(testing::kUserPin) + "message ok\n");
    EXPECT_EQ(Attempt("c1"), code::kKeyNotOnCard);
    EXPECT_EQ(Attempt("t1"), code::kKeyNotOnToken);
    ExpectScriptDone();
    const int card = Find({"\"event\":\"message\"", ErrorBox(kTextKeyNotOnCard)});
    EXPECT_GE(card, 0);
    EXPECT_GT(Find({"\"event\":\"message\"", ErrorBox(kTextKeyNotOnUsbDevice)}), card);
}

TEST_F(DeviceSigning, KeyOfAnotherFingerprintIsRefused) {
    ASSERT_EQ(comp.SetKey("c1", HexEncode(std::string_view("card-key")).c_str(), tokenPrint.c_str(),
                          kind::kSmartCard),
              code::kOk);
    Script(Pin(testing::kUserPin));
    EXPECT_EQ(Attempt("c1"), code::kDeviceKeyMismatch);
    ExpectScriptDone();
}

TEST_F(DeviceSigning, DriverSwitchesComeFromTheMachineRegistry) {
    Drivers("1", "0");
    EXPECT_TRUE(comp.SmartCardDriverInstalled());
    EXPECT_FALSE(comp.TokenDriverInstalled());
    Drivers("yes", "1");
    EXPECT_FALSE(comp.SmartCardDriverInstalled());
    EXPECT_TRUE(comp.TokenDriverInstalled());
    Drivers("0", "0");
    EXPECT_EQ(comp.SignOperation("|c1|", "c1", "00").code, code::kNoDriver);
}

TEST(PsaBackend, CardModelsReachTheDeviceTableOnce) {
    CPsaBackend backend;
    const int base = backend.psa().modelCount();
    backend.SetCardModels("First|");
    backend.SetCardModels("First|Second|GemSAFE Smart Card (16K)|");
    ASSERT_EQ(backend.psa().modelCount(), base + 2);
    EXPECT_EQ(backend.psa().modelName(base), "First");
    EXPECT_EQ(backend.psa().modelName(base + 1), "Second");
}

}  // namespace
}  // namespace vq

namespace vq {
namespace {

// Sign as the page calls it: the order dialog (210), its Sign button and the PIN prompt.
class DeviceSignMethod : public DeviceSigning {
  protected:
    OpResult Sign(const std::string& preselected) {
        return comp.SignOperation("|c1|t1|", preselected.c_str(),
                                  HexEncode(std::string_view(kOrder)).c_str());
    }
};

TEST_F(DeviceSignMethod, TokenKeySignsAnOrderThroughTheOrderDialog) {
    Script("dialog 210\nclick 1\n" + Pin(testing::kUserPin));
    const OpResult r = Sign("t1");
    ExpectScriptDone();
    ASSERT_EQ(r.code, code::kOk);
    ASSERT_EQ(r.fields.size(), 2u);
    EXPECT_EQ(r.fields[0], "t1");
    std::vector<unsigned char> signature;
    ASSERT_EQ(HexDecode(r.fields[1], signature), 0);
    session = std::make_unique<SignSession>(comp.signing());
    session->signature().assign(signature.begin(), signature.end());
    ExpectVerifies("token", "token-key");
}

TEST_F(DeviceSignMethod, LockedCardEndsSignWith91AndTheKeyList) {
    Slots("|pinleft=1|pukleft=0", "");
    Script("dialog 210\nclick 1\n" + Pin("9999") + "message ok\n");
    const OpResult r = Sign("c1");
    ExpectScriptDone();
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(r.fields.at(0), "c1");
    EXPECT_EQ(r.keyList, std::optional<std::string>("c1"));
}

TEST_F(DeviceSignMethod, DeviceBlockedBeforeTheFirstPressEndsSignAndEncryptRandWith91) {
    Slots("|pinleft=0|pukleft=0", "|pinleft=0|pukleft=0");
    DeclareAnyDeviceKey();
    Script("dialog 210\nclick 1\n");
    OpResult r = Sign("c1");
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(r.fields.at(0), "c1");
    EXPECT_EQ(r.keyList, std::optional<std::string>("c1|a1"));

    Script("dialog 210\nclick 1\n");
    r = Sign("t1");
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(r.keyList, std::optional<std::string>("t1"));

    const std::string bothReaders = env.Read("pcsc.conf");
    CardReaderOnly();
    Script("dialog 210\nclick 1\n");
    r = comp.SignOperation("|a1|", "a1", HexEncode(std::string_view(kOrder)).c_str());
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(r.fields.at(0), "a1");
    EXPECT_EQ(r.keyList, std::optional<std::string>("c1|a1"));

    // The log-in challenge (which locks Sign, so it comes last).
    env.Write("pcsc.conf", bothReaders);
    Script("dialog 210\nclick 1\n");
    r = comp.EncryptOperation("|c1|t1|", "t1", "login", 1);
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(r.fields.at(0), "t1");
    EXPECT_EQ(r.keyList, std::optional<std::string>("t1"));
    ExpectScriptDone();
    // No PIN was asked for.
    EXPECT_EQ(Find({"\"event\":\"dialog-open\",\"id\":201"}), -1);
}

TEST_F(DeviceSignMethod, UninitialisedCardKeepsTheDialogOpenWithItsMessage) {
    Slots("|clearflags=0x8", "");
    Script("dialog 210\nclick 1\nmessage ok\nclick 2\n");
    EXPECT_EQ(Sign("c1").code, code::kCancelled);
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextCardNotInitialized)}), 0);
}

TEST_F(DeviceSignMethod, MissingDriversAreNamedInTheDialog) {
    Drivers("0", "1");
    Script("dialog 210\nclick 1\nmessage ok\nclick 2\n");
    EXPECT_EQ(Sign("c1").code, code::kCancelled);
    Drivers("1", "0");
    Script("dialog 210\nclick 1\nmessage ok\nclick 2\n");
    EXPECT_EQ(Sign("t1").code, code::kCancelled);
    ExpectScriptDone();
    const int card = Find({"\"event\":\"message\"", ErrorBox(kTextInstallReaderDriver)});
    EXPECT_GE(card, 0);
    EXPECT_GT(Find({"\"event\":\"message\"", ErrorBox(kTextInstallTokenDriver)}), card);
}

}  // namespace
}  // namespace vq
