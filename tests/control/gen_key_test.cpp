// GenerateKey as the page calls it, with the automation script playing the user: the key
// generation dialog, its name checks and device checks, the worker and the result string, and
// the generated key checked on the SoftHSM2 token with OpenSSL.
#include "tests/operations/device_test_support.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include <QApplication>
#include <QTimer>
#include <fstream>
#include <functional>
#include <sstream>

#include "control/veriquill_ctrl.h"
#include "dialogs/gen_key_dlg.h"
#include "platform/codepage/codepage.h"
#include "platform/qtui/qt_ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

using testing::DeviceMachine;
using testing::RunCommand;
using testing::ScriptedFlowUi;

class AppEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_control";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QApplication> app_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

std::string Utf8(int textId) {
    return cp::AnsiToUtf8(LoadText(textId));
}

// Whether control `id` of a dump line is enabled: 1 yes, 0 no, -1 not in the dump.
int Enabled(const std::string& dump, int id) {
    const std::size_t at = dump.find("{\"id\":" + std::to_string(id) + ",");
    if (at == std::string::npos) return -1;
    const std::size_t e = dump.find("\"enabled\":", at);
    return dump.compare(e + 10, 4, "true") == 0 ? 1 : 0;
}

// What one scripted call left behind.
struct Played {
    std::string result;
    std::vector<std::string> transcript;
    bool scriptOk = false;
    std::string error;

    bool Has(const std::string& needle) const {
        for (const auto& l : transcript)
            if (l.find(needle) != std::string::npos) return true;
        return false;
    }
    // Index of the first transcript line holding `needle`, or -1.
    int Find(const std::string& needle) const {
        for (std::size_t i = 0; i < transcript.size(); ++i)
            if (transcript[i].find(needle) != std::string::npos) return static_cast<int>(i);
        return -1;
    }
    std::string Messages() const {
        std::string out;
        for (const auto& l : transcript)
            if (l.find("\"event\":\"message\"") != std::string::npos) out += l + "\n";
        return out;
    }
};

class GenerateKey : public ::testing::Test {
  protected:
    void SetUp() override {
        SetLanguageIndex(kLanguageEnglish);
        machine = std::make_unique<DeviceMachine>(reader());
        machine->Drivers(true, true);
    }
    void TearDown() override { SetLanguageIndex(kLanguagePolish); }
    virtual std::string reader() const { return testing::kCardReader; }

    Played Play(const std::string& script, const char* parameters = "|8|") {
        return PlayCall(script, [&] { return ctrl.GenerateKey(parameters); });
    }
    Played PlayCall(const std::string& script, const std::function<std::string()>& call) {
        Played p;
        const std::string path = machine->env.Path("transcript.jsonl");
        std::filesystem::remove(path);
        {
            ui::ScriptedUi scripted;
            std::string error;
            EXPECT_TRUE(scripted.Load(script, error)) << error;
            EXPECT_TRUE(scripted.transcript().Open(path));
            ui::SetCurrent(&scripted);
            p.result = call();
            ui::SetCurrent(nullptr);
            p.scriptOk = scripted.Finish() == 0;
            p.error = scripted.Error();
        }
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);) p.transcript.push_back(line);
        return p;
    }
    // Picks the location, types the name, presses Generate.
    static std::string Start(const std::string& name, int radio = 0) {
        std::string s = "dialog 211\n";
        if (radio) s += "check " + std::to_string(radio) + "\n";
        return s + "type 210 \"" + name + "\"\nclick 1\n";
    }
    static std::string Pin(const std::string& pin) {
        return "dialog 201\ntype 201 \"" + pin + "\"\nclick 1\n";
    }
    static std::vector<std::string> Fields(const std::string& result) {
        std::vector<std::string> f;
        std::stringstream in(result);
        for (std::string part; std::getline(in, part, '|');) f.push_back(part);
        return f;
    }

    std::unique_ptr<DeviceMachine> machine;
    CVeriquillCtrl ctrl;
};

class GenerateKeyOnToken : public GenerateKey {
  protected:
    std::string reader() const override { return testing::kTokenReader; }
};

// Stands in for the order dialog's window: picks the preselected key and presses sign once.
int PressOk(SignSession& s) {
    CKeysStorage& keys = s.ops().KeySet();
    for (std::size_t i = 0; i < keys.Count(); ++i)
        if (keys.At(i)->id == s.preselectedKeyId() && s.Offered(*keys.At(i)))
            s.Select(static_cast<int>(i));
    const int code = s.SigningAttempt(nullptr, nullptr);
    return code == code::kCancelled ? ui::kIdCancel : ui::kIdOk;
}

// The public key of a blob (LE32 length, modulus, LE32 length, exponent) as a PEM file.
std::string BlobToPem(const std::vector<unsigned char>& blob, const std::string& path) {
    auto le32 = [&](std::size_t at) {
        return std::size_t(blob[at]) | std::size_t(blob[at + 1]) << 8 |
               std::size_t(blob[at + 2]) << 16 | std::size_t(blob[at + 3]) << 24;
    };
    const std::size_t n = le32(0);
    const std::size_t e = le32(4 + n);
    EXPECT_EQ(blob.size(), 8 + n + e);
    BIGNUM* mod = BN_bin2bn(blob.data() + 4, int(n), nullptr);
    BIGNUM* exp = BN_bin2bn(blob.data() + 8 + n, int(e), nullptr);
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_N, mod);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_RSA_E, exp);
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(ctx), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params), 1);
    FILE* f = std::fopen(path.c_str(), "w");
    PEM_write_PUBKEY(f, key);
    std::fclose(f);
    EVP_PKEY_free(key);
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    BN_free(mod);
    BN_free(exp);
    return path;
}

TEST_F(GenerateKey, MalformedParametersGiveOneWithoutAnyWindow) {
    for (const char* bad : {"abc", "8", "", "|x|", "8|"}) {
        const Played p = Play("", bad);
        EXPECT_EQ(p.result, "1") << bad;
        EXPECT_FALSE(p.Has("dialog-open")) << bad;
        EXPECT_TRUE(p.scriptOk) << p.error;
    }
    ui::ScriptedUi scripted;
    ui::SetCurrent(&scripted);
    EXPECT_EQ(ctrl.GenerateKey(nullptr), "1");
    ui::SetCurrent(nullptr);
}

TEST_F(GenerateKey, WithoutReaderDriversTheAnswerIs135) {
    machine->Drivers(false, false);
    const Played p = Play("");
    EXPECT_EQ(p.result, "135");
    EXPECT_FALSE(p.Has("dialog-open"));
}

TEST_F(GenerateKey, ClosingTheDialogGivesEight) {
    // A bar, a number and any further text are accepted parameters.
    const Played p = Play("dialog 211\nclick 2\n", "|8 and more");
    EXPECT_EQ(p.result, "8");
    EXPECT_TRUE(p.scriptOk) << p.error;
}

TEST_F(GenerateKey, OnASmartCardReturnsTheNameKindBlobAndFingerprint) {
    // An upper-half letter that is not one of the Polish ones is accepted.
    const Played p = Play(Start("Podpis 2026 \u00e4", 217) + Pin(testing::kUserPin));
    ASSERT_TRUE(p.scriptOk) << p.error;
    const auto f = Fields(p.result);
    ASSERT_EQ(f.size(), 6u) << p.result;
    EXPECT_EQ(f[0], "0");
    EXPECT_EQ(f[1], "506F64706973203230323620E4");  // ISO-8859-2 bytes as hex
    EXPECT_EQ(f[2], "2");
    EXPECT_EQ(f[3], "NULL");
    // The blob: 128-byte modulus, exponent 01 00 01; the fingerprint over both.
    std::vector<unsigned char> blob;
    ASSERT_EQ(HexDecode(f[4], blob), 0);
    ASSERT_EQ(blob.size(), 4u + 128 + 4 + 3);
    EXPECT_EQ(f[4].substr(0, 8), "80000000");
    EXPECT_EQ(f[4].substr(f[4].size() - 14), "03000000010001");
    std::vector<unsigned char> hashed(blob.begin() + 4, blob.begin() + 132);
    hashed.insert(hashed.end(), {0x01, 0x00, 0x01});
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(hashed.data(), hashed.size(), digest);
    EXPECT_EQ(f[5], HexEncode(std::span<const unsigned char>(digest)));
    // The key is on the card under its name.
    EXPECT_NE(machine->KeyList().find(f[5]), std::string::npos);
}

TEST_F(GenerateKey, TheGeneratedKeyDeclaredWithSetKeySignsAndOpenSslVerifiesIt) {
    const Played p = Play(Start("sig-key", 217) + Pin(testing::kUserPin));
    const auto f = Fields(p.result);
    ASSERT_EQ(f.size(), 6u) << p.result;
    std::vector<unsigned char> blob;
    ASSERT_EQ(HexDecode(f[4], blob), 0);
    const std::string pem = BlobToPem(blob, machine->env.Path("pub.pem"));

    // The page declares the key with the returned name, kind and fingerprint, then signs.
    ASSERT_EQ(ctrl.SetKey("gen", f[1].c_str(), f[5].c_str(), std::stoi(f[2])), "0");
    ctrl.component().SetSignDialogRunner(PressOk);
    const std::string order = "ZLECENIE 1 PLN";
    machine->env.Write("order.txt", order);
    const Played signing = PlayCall(Pin(testing::kUserPin), [&] {
        return ctrl.Sign("|gen|", "gen", HexEncode(std::string_view(order)).c_str());
    });
    ASSERT_TRUE(signing.scriptOk) << signing.error;
    const auto s = Fields(signing.result);
    ASSERT_EQ(s.size(), 3u) << signing.result;
    EXPECT_EQ(s[0], "0");
    EXPECT_EQ(s[1], "gen");
    std::vector<unsigned char> signature;
    ASSERT_EQ(HexDecode(s[2], signature), 0);
    std::ofstream(machine->env.Path("order.sig"), std::ios::binary)
        .write(reinterpret_cast<const char*>(signature.data()), std::streamsize(signature.size()));
    int status = 0;
    const std::string out =
        RunCommand("openssl dgst -sha256 -verify " + pem + " -signature " +
                       machine->env.Path("order.sig") + " " + machine->env.Path("order.txt"),
                   &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Verified OK"), std::string::npos) << out;
}

TEST_F(GenerateKey, NameChecksInOrderKeepTheDialogOpen) {
    ASSERT_EQ(ctrl.SetKey("k1", "5374617279", "AB", 1), "0");  // "Stary"
    const std::string longName(36, 'n');
    const std::string script =
        "dialog 211\nclick 1\nmessage ok\n"  // empty
        "type 210 \"" +
        longName +
        "\"\nclick 1\nmessage ok\n"                  // 36
        "type 210 \"Stary\"\nclick 1\nmessage ok\n"  // in use
        "type 210 \"zał\"\nclick 1\nmessage ok\n"    // Polish
        "type 210 \"Ś\"\nclick 1\nmessage ok\n"
        "type 210 \"≈\"\nclick 1\nmessage ok\n"  // not in the code page
        "dump\nclick 2\n";
    const Played p = Play(script);
    EXPECT_EQ(p.result, "8");
    ASSERT_TRUE(p.scriptOk) << p.error;
    const std::string m = p.Messages();
    const int texts[] = {kTextEnterKeyName,      kTextKeyNameTooLong,    kTextKeyNameInUse,
                         kTextKeyNameCharacters, kTextKeyNameCharacters, kTextKeyNameCharacters};
    std::size_t at = 0;
    for (int t : texts) {
        at = m.find("\"text\":\"" + Utf8(t) + "\",\"caption\":\"\",\"icon\":\"error\"", at);
        ASSERT_NE(at, std::string::npos) << t << "\n" << m;
        ++at;
    }
    EXPECT_FALSE(p.Has("\"id\":201"));  // no PIN prompt for a refused name
}

TEST_F(GenerateKey, BoundaryNamesPassTheChecks) {
    ASSERT_EQ(ctrl.SetKey("k1", "5374617279", "AB", 1), "0");  // "Stary"
    for (const std::string& name :
         {std::string(35, 'n'), std::string("STARY"), std::string("a-b c.d_e")}) {
        const Played p = Play(Start(name, 217) + "dialog 201\nclick 2\n");
        EXPECT_EQ(p.result, "8") << name;  // reached the PIN prompt, then cancelled
        EXPECT_TRUE(p.scriptOk) << name << ": " << p.error;
        EXPECT_TRUE(p.Messages().empty()) << p.Messages();
    }
}

TEST_F(GenerateKey, WrongPinOnASmartCardShowsAMessageAndKeepsTheDialogOpen) {
    const Played p = Play(Start("karta", 217) + Pin("0000") + "message ok\ndump\n" + "click 1\n" +
                          Pin(testing::kUserPin));
    ASSERT_TRUE(p.scriptOk) << p.error;
    EXPECT_NE(p.Messages().find(Utf8(kTextIncorrectPin)), std::string::npos);
    // After the failure every control is enabled again and the progress bar hidden.
    const int dump = p.Find("\"event\":\"dump\"");
    ASSERT_GE(dump, 0);
    const std::string& d = p.transcript[dump];
    for (int id : {1, 2, 210, 217, 537}) EXPECT_EQ(Enabled(d, id), 1) << id << d;
    EXPECT_EQ(d.find("\"id\":216"), std::string::npos) << d;
    EXPECT_EQ(Fields(p.result).at(0), "0");
}

TEST_F(GenerateKey, NameAlreadyOnTheCardShowsTheInUseMessage) {
    machine->Generate("taken");
    const Played p = Play(Start("taken", 217) + Pin(testing::kUserPin) + "message ok\nclick 2\n");
    ASSERT_TRUE(p.scriptOk) << p.error;
    EXPECT_EQ(p.result, "8");
    EXPECT_NE(p.Messages().find(Utf8(kTextKeyNameInUse)), std::string::npos);
}

TEST_F(GenerateKey, CancellingThePinPromptEndsWithEight) {
    const Played p = Play(Start("karta", 217) + "dialog 201\nclick 2\n");
    EXPECT_EQ(p.result, "8");
    EXPECT_TRUE(p.scriptOk) << p.error;
}

TEST_F(GenerateKey, LockedDevicesEndBeforeThePinPrompt) {
    const std::string print = machine->Generate("old");
    ASSERT_EQ(ctrl.SetKey("old-id", "6F6C64", print.c_str(), 2), "0");
    machine->Configure("pinleft=0");
    Played p = Play(Start("nowy", 217));
    EXPECT_EQ(p.result, "64");
    machine->Configure("pinleft=0|pukleft=0");
    p = Play(Start("nowy", 217));
    EXPECT_EQ(p.result, "91|old-id");
    EXPECT_FALSE(p.Has("\"id\":201"));
}

TEST_F(GenerateKey, AFailedLoginThatLocksTheDeviceGives91WithTheKeyList) {
    const std::string print = machine->Generate("old");
    ASSERT_EQ(ctrl.SetKey("old-id", "6F6C64", print.c_str(), 2), "0");
    machine->Configure("pukleft=0|pinleft=1");
    const Played p = Play(Start("nowy", 217) + Pin("0000"));
    EXPECT_EQ(p.result, "91|old-id");
    machine->Configure("", "fail C_Login 0xA4\n");  // the module reports the PIN locked
    EXPECT_EQ(Play(Start("nowy", 217) + Pin("0000")).result, "64");
}

TEST_F(GenerateKey, GenerationFailureOnTheCardIs137) {
    machine->Configure("", "fail C_GenerateKeyPair 0x6\n");  // CKR_FUNCTION_FAILED
    const Played p = Play(Start("nowy", 217) + Pin(testing::kUserPin));
    EXPECT_EQ(p.result, "137");
    EXPECT_TRUE(p.scriptOk) << p.error;
}

TEST_F(GenerateKey, AnUninitialisedDeviceIsInitialisedBeforeThePin) {
    auto dialogs = std::make_unique<ScriptedFlowUi>();
    ScriptedFlowUi& flowUi = *dialogs;
    // SoftHSM2 re-initialises a token only with its current security-officer PIN.
    flowUi.initDialog.push_back({ui::kIdOk, testing::kSoPin, "5678"});
    ctrl.component().SetDeviceFlowUi(std::move(dialogs));
    machine->Generate("old");
    machine->Configure("clearflags=0x408");
    const Played p = Play(Start("nowy", 217) + "message ok\n" + Pin("5678"));
    ASSERT_TRUE(p.scriptOk) << p.error;
    EXPECT_EQ(flowUi.initRuns, 1);
    const int notice =
        p.Find("\"text\":\"" + Utf8(kTextInitializeDeviceFirst) + "\",\"caption\":\"" +
               Utf8(kTextDeviceInitialization) + "\",\"icon\":\"none\"");
    ASSERT_GE(notice, 0) << p.Messages();
    EXPECT_LT(notice, p.Find("\"id\":201"));
    EXPECT_EQ(Fields(p.result).at(0), "0") << p.result;
    // The old key went with the initialisation; the new one is there.
    EXPECT_EQ(machine->KeyList(), "ProtectorCard|\"" + Fields(p.result).at(5) + "\"");
}

TEST_F(GenerateKey, EveryControlIsDisabledWhileTheWorkerRuns) {
    machine->Configure("", "delay C_GenerateKeyPair 400\n");
    const Played p = Play(Start("wolny", 217) + Pin(testing::kUserPin) + "dump\n");
    ASSERT_TRUE(p.scriptOk) << p.error;
    EXPECT_EQ(Fields(p.result).at(0), "0");
    const int dump = p.Find("\"event\":\"dump\"");
    ASSERT_GE(dump, 0);
    const std::string& d = p.transcript[dump];
    for (int id : {1, 2, 210, 217, 537}) EXPECT_EQ(Enabled(d, id), 0) << id << d;
    EXPECT_NE(d.find("{\"id\":216,\"kind\":\"progress\""), std::string::npos) << d;
}

// Screenshots of the dialog before and during generation, into VQ_SCREENSHOT_DIR when set (the
// documentation's pictures), else into the test's directory.
TEST_F(GenerateKey, ScreenshotsBeforeAndDuringGeneration) {
    const char* dir = std::getenv("VQ_SCREENSHOT_DIR");
    const std::string out = dir ? dir : machine->env.dir();
    const std::string before = out + "/genkey-before-en.png";
    const std::string during = out + "/genkey-during-en.png";
    machine->Configure("", "delay C_GenerateKeyPair 1500\n");
    // A person watching: the picture is taken once the progress bar has moved on.
    bool taken = false;
    QTimer watcher;
    watcher.setInterval(20);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dlg = qobject_cast<CGenKeyDlg*>(w);
            if (!taken && dlg && dlg->Generating() && dlg->ProgressValue() >= 5)
                taken = dlg->grab().save(QString::fromStdString(during), "PNG");
        }
    });
    watcher.start();
    const Played p = Play("dialog 211\ncheck 217\ntype 210 \"Podpis 2026\"\nsnapshot \"" + before +
                          "\"\nclick 1\n" + Pin(testing::kUserPin));
    watcher.stop();
    ASSERT_TRUE(p.scriptOk) << p.error;
    EXPECT_EQ(Fields(p.result).at(0), "0");
    EXPECT_TRUE(taken);
    EXPECT_GT(std::filesystem::file_size(before), 1000u);
    EXPECT_GT(std::filesystem::file_size(during), 1000u);
}

TEST_F(GenerateKeyOnToken, SuccessReturnsKindElevenAndNull) {
    const Played p = Play(Start("token-key") + Pin(testing::kUserPin));
    const auto f = Fields(p.result);
    ASSERT_EQ(f.size(), 6u) << p.result;
    EXPECT_EQ(f[0], "0");
    EXPECT_EQ(f[2], "11");
    EXPECT_EQ(f[3], "NULL");
}

TEST_F(GenerateKeyOnToken, AWrongPinClosesTheDialogWithItsCode) {
    const Played p = Play(Start("token-key") + Pin("0000"));
    EXPECT_EQ(p.result, "56");
    EXPECT_TRUE(p.Messages().empty());
    EXPECT_TRUE(p.scriptOk) << p.error;
}

TEST_F(GenerateKeyOnToken, GenerationFailureIs138) {
    machine->Configure("", "fail C_GenerateKeyPair 0x6\n");
    EXPECT_EQ(Play(Start("nowy") + Pin(testing::kUserPin)).result, "138");
}

// --- the window itself ---

class GenKeyWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        SetLanguageIndex(kLanguageEnglish);
        machine.Drivers(true, true);
    }
    void TearDown() override { SetLanguageIndex(kLanguagePolish); }
    DeviceMachine machine;
};

TEST_F(GenKeyWindow, DriversDecideTheOfferedAndPreselectedLocation) {
    struct Case {
        bool cards, tokens;
        bool cardEnabled, usbEnabled;
        int preselected;
    };
    const Case cases[] = {{true, true, true, true, CGenKeyDlg::kLocationUsbToken},
                          {true, false, true, false, CGenKeyDlg::kLocationSmartCard},
                          {false, true, false, true, CGenKeyDlg::kLocationUsbToken}};
    for (const Case& c : cases) {
        machine.Drivers(c.cards, c.tokens);
        CGenKeyDlg dlg;
        dlg.show();
        QWidget* card = dlg.Control(CGenKeyDlg::kIdSmartCardRadio);
        QWidget* usb = dlg.Control(CGenKeyDlg::kIdUsbRadio);
        EXPECT_EQ(card->isEnabled(), c.cardEnabled);
        EXPECT_EQ(usb->isEnabled(), c.usbEnabled);
        const int checked = card->property("checked").toBool()  ? CGenKeyDlg::kLocationSmartCard
                            : usb->property("checked").toBool() ? CGenKeyDlg::kLocationUsbToken
                                                                : -1;
        EXPECT_EQ(checked, c.preselected) << c.cards << c.tokens;
        dlg.hide();
    }
}

TEST_F(GenKeyWindow, OnlyDeviceLocationsShowAndTheButtonsSitBelowTheName) {
    CGenKeyDlg dlg;
    dlg.show();
    for (int id : {212, 213, 228, 218, 219, 220, 221, 222, 223, 230, CGenKeyDlg::kIdProgress})
        EXPECT_FALSE(dlg.Control(id)->isVisible()) << id;
    QWidget* file = dlg.Control(CGenKeyDlg::kIdFileRadio);
    QWidget* usb = dlg.Control(CGenKeyDlg::kIdUsbRadio);
    EXPECT_EQ(usb->pos(), file->pos());
    EXPECT_EQ(usb->width(), file->width() + 20);
    EXPECT_EQ(dlg.Control(CGenKeyDlg::kIdSmartCardRadio)->x(),
              dlg.MapDialogRect({9, 0, 0, 0}).x() + 30);
    EXPECT_EQ(dlg.windowTitle().toStdString(), Utf8(kTextKeyGeneration));
    const QWidget* name = dlg.Control(CGenKeyDlg::kIdName);
    const QWidget* ok = dlg.Control(1);
    EXPECT_GT(ok->y(), name->geometry().bottom());
    EXPECT_LT(ok->geometry().bottom(), dlg.height());
    EXPECT_LT(dlg.height(), dlg.MapDialogRect({0, 0, 0, 150}).height());
    EXPECT_EQ(dlg.pos(), QPoint(300, 300));
    dlg.hide();
}

TEST(GenKeyKinds, LocationsMapToKeyKinds) {
    EXPECT_EQ(KindOfLocation(0), 0);
    EXPECT_EQ(KindOfLocation(1), 1);
    EXPECT_EQ(KindOfLocation(2), 2);
    EXPECT_EQ(KindOfLocation(3), 11);
    EXPECT_EQ(KindOfLocation(4), 255);
    EXPECT_EQ(KindOfLocation(-1), 255);
}

}  // namespace
}  // namespace vq
