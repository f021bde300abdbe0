// The three signing steps behind the order dialog, with real key files and a scripted user.
#include <gtest/gtest.h>

#include <QDir>
#include <iterator>

#include "operations/sign_session.h"
#include "platform/registry/reg_text.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "storage/key_file.h"
#include "tests/operations/flow_fixture.h"

namespace vq::test {
namespace {

constexpr const char* kOrder = "_ZLECENIE_|a:Kwota:100,00|b:Tytul:czynsz|";

std::string Password(const std::string& pw) {
    return "dialog 201\ntype 201 \"" + pw + "\"\nclick 1\n";
}

class SigningFlowTest : public FlowTest {
  protected:
    // Declares a key-file key whose file is remembered at its path.
    void DeclareFileKey(const std::string& id, const TestKey& k) {
        ASSERT_EQ(comp_->SetKey(id.c_str(), Hex("Firma").c_str(), k.fingerprint.c_str(), 1), 0);
        ASSERT_EQ(comp_->keys().StoreLocation(id.c_str(), k.path.c_str()), 0);
    }
    // An order session on the key at `index`, as the dialog sets it up.
    std::unique_ptr<SignSession> OrderSession(int index, const std::string& filter = "|k1|") {
        auto s = std::make_unique<SignSession>(comp_->signing());
        s->set_no_order(false);
        EXPECT_EQ(s->SetUp(Hex(kOrder), filter, "k1"), 0);
        s->Select(index);
        return s;
    }
    std::string Location(const char* id) {
        std::string hex;
        return comp_->GetKeyLocation(id, hex) == 0 ? hex : "none";
    }
};

TEST_F(SigningFlowTest, GoodPasswordSignsTheDecodedOrderWithSha256) {
    const TestKey k = MakeKey("k1.prv", "tajne");
    DeclareFileKey("k1", k);
    Script(Password("tajne"));
    auto s = OrderSession(0);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kOk);
    EXPECT_TRUE(Verifies(k.key.get(), kOrder, s->signature()));
    EXPECT_EQ(comp_->keys().Find("k1")->wrongPasswordCount, 0);
    EXPECT_TRUE(page_.calls.empty());
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(SigningFlowTest, ThreeWrongPasswordsBlockTheKeyAndTellThePage) {
    const TestKey k = MakeKey("k1.prv", "tajne");
    DeclareFileKey("k1", k);
    SetLanguageIndex(kLanguageEnglish);
    Script(Password("zle1") + "message ok\n" + Password("zle2") + "message ok\n" +
           Password("zle3") + "message ok\n" + "message ok\n");
    auto s = OrderSession(0);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kWrongPassword) << i;
        EXPECT_EQ(comp_->keys().Find("k1")->wrongPasswordCount, i);
        ASSERT_EQ(page_.calls.size(), static_cast<std::size_t>(i));
        EXPECT_EQ(page_.calls.back(), (std::vector<std::string>{"componentWKPEvent", "", "k1",
                                                                "Firma", std::to_string(i)}));
    }
    // The fourth press is refused before any prompt, with the blocked message.
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kKeyBlocked);
    const auto messages = Events("message");
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_NE(messages[0].find(cp::AnsiToUtf8(LoadText(kTextWrongPasswordOrFile))),
              std::string::npos);
    EXPECT_NE(messages[3].find("The selected key is blocked."), std::string::npos);
    EXPECT_NE(messages[3].find("\"caption\":\"\""), std::string::npos);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    SetLanguageIndex(kLanguagePolish);
}

TEST_F(SigningFlowTest, AGoodPasswordResetsTheCountAndASmartCardIsNeverBlocked) {
    const TestKey k = MakeKey("k1.prv", "tajne");
    DeclareFileKey("k1", k);
    Script(Password("zle") + "message ok\n" + Password("tajne"));
    auto s = OrderSession(0);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kWrongPassword);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kOk);
    EXPECT_EQ(comp_->keys().Find("k1")->wrongPasswordCount, 0);

    ASSERT_EQ(comp_->SetKey("card", Hex("Karta").c_str(), k.fingerprint.c_str(), 2), 0);
    comp_->keys().Find("card")->wrongPasswordCount = 7;
    EXPECT_FALSE(comp_->keys().Find("card")->Blocked());
}

TEST_F(SigningFlowTest, WrongFileIsForgottenAndTheNextAttemptAsksForTheRightOne) {
    const TestKey right = MakeKey("right.prv", "tajne");
    const TestKey other = MakeKey("other.prv", "tajne");
    ASSERT_EQ(comp_->SetKey("k1", Hex("Firma").c_str(), right.fingerprint.c_str(), 1), 0);
    ASSERT_EQ(comp_->keys().StoreLocation("k1", other.path.c_str()), 0);

    Script(Password("tajne") + "message ok\nfile \"" + right.path + "\"\n" + Password("tajne"));
    auto s = OrderSession(0);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kFingerprintMismatch);
    EXPECT_EQ(Location("k1"), "00");  // forgotten: the empty text
    // As the dialog does for 36: another attempt at once.
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kOk);
    EXPECT_TRUE(Verifies(right.key.get(), kOrder, s->signature()));
    EXPECT_EQ(Location("k1"), Hex(right.path) + "00");

    const auto warnings = Events("message");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("(plik Firma.prv)"), std::string::npos);
    EXPECT_NE(warnings[0].find("\"icon\":\"warning\""), std::string::npos);
    const auto files = Events("file-dialog");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].find("\"default-name\":\"Firma\""), std::string::npos);
    EXPECT_NE(files[0].find("*.prv"), std::string::npos);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(SigningFlowTest, DeletedRememberedFileIsAskedForAndStoredAtFinish) {
    const TestKey k = MakeKey("k1.prv", "tajne");
    DeclareFileKey("k1", k);
    ASSERT_EQ(comp_->keys().StoreLocation("k1", Path("gone.prv").c_str()), 0);
    // A wrong password after choosing the file must not ask for the file again.
    Script("message ok\nfile \"" + k.path + "\"\n" + Password("zle") + "message ok\n" +
           Password("tajne"));
    auto s = OrderSession(0);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kWrongPassword);
    EXPECT_EQ(Location("k1"), Hex(Path("gone.prv")) + "00");  // not stored before Finish
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kOk);
    EXPECT_EQ(Location("k1"), Hex(k.path) + "00");
    EXPECT_EQ(Events("file-dialog").size(), 1u);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(SigningFlowTest, CancelAtEachPrompt) {
    const TestKey k = MakeKey("k1.prv", "tajne");
    DeclareFileKey("k1", k);
    ASSERT_EQ(comp_->SetKey("k2", Hex("Druga").c_str(), k.fingerprint.c_str(), 1), 0);
    Script(
        "dialog 201\nclick 2\n"        // password prompt cancelled
        "message ok\nfile cancel\n");  // file dialog of the never-located key cancelled
    auto s = OrderSession(0, "|k1|k2|");
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kCancelled);
    s->Select(1);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kCancelled);
    EXPECT_EQ(Location("k2"), "none");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(SigningFlowTest, KeyKindsTheEngineRefuses) {
    const TestKey k = MakeKey("k1.prv", "tajne");
    ASSERT_EQ(comp_->SetKey("k1", Hex("Stara").c_str(), "AA", 9), 0);  // no such kind
    Script("");
    auto s = OrderSession(0);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kKindNotUsable);
    // Nothing selected, or no order at all.
    SignSession none(comp_->signing());
    none.set_no_order(false);
    EXPECT_EQ(none.SetUp(Hex(kOrder), "|k1|", ""), 0);
    EXPECT_EQ(none.SigningAttempt(nullptr, nullptr), code::kKindNotUsable);
    SignSession empty(comp_->signing());
    empty.Select(0);
    EXPECT_EQ(empty.SigningAttempt(nullptr, nullptr), code::kInvalidArgument);
}

TEST_F(SigningFlowTest, BankKeyMaterialSignsWithThePasswordTypedInTheDialog) {
    const TestKey k = MakeKey("bank.prv", "haslo");
    std::ifstream in(k.path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(comp_->SetKey("k1", Hex("Bank").c_str(), Hex(text).c_str(), 0), 0);
    comp_->SetDialogType(2);  // password row in the dialog
    Script("");
    auto s = OrderSession(0);
    SecureString typed("haslo");
    EXPECT_EQ(s->SigningAttempt(&typed, nullptr), code::kOk);
    EXPECT_TRUE(typed.empty());  // the dialog's copy is wiped
    EXPECT_TRUE(Verifies(k.key.get(), kOrder, s->signature()));
}

TEST_F(SigningFlowTest, ACertificateStoreKeyCannotSignAnOrder) {
    ASSERT_EQ(comp_->SetKey("k1", Hex("Cert").c_str(), "-----BEGIN CERTIFICATE-----", 3), 0);
    Script("");
    auto s = OrderSession(0);
    EXPECT_EQ(s->SigningAttempt(nullptr, nullptr), code::kInvalidArgument);
    EXPECT_TRUE(Events("dialog-open").empty());  // no password asked
}

// Key files in folders and under names with every Polish letter, small and capital: the
// component holds their paths in Windows-1250, the file system names them in UTF-8. Both file
// kinds, found through the file dialog, a stored location and ChangeKeyLocation.
class PolishPathSigning : public FlowTest, public ::testing::WithParamInterface<int> {
  protected:
    static constexpr const char* kPassword = "tajne-haslo";

    void SetUp() override {
        FlowTest::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        kind_ = GetParam();
        const std::string ext = kind_ == kind::kFile ? "prv" : "der";
        const std::string letters =
            "\u0105\u0107\u0119\u0142\u0144\u00f3\u015b\u017a\u017c "
            "\u0104\u0106\u0118\u0141\u0143\u00d3\u015a\u0179\u017b";
        const std::string folder = "Klucze bankowe " + letters;
        const std::string name = "m\u00f3j klucz " + letters + "." + ext;
        ASSERT_TRUE(QDir(dir_.path()).mkpath(QString::fromStdString(folder)));
        osPath_ = Path(folder + "/" + name);
        const auto ansi = cp::FromUtf8(osPath_, "CP1250");
        ASSERT_TRUE(ansi);
        ansiPath_ = *ansi;
        ASSERT_NE(ansiPath_, osPath_);

        key_.reset(EVP_RSA_gen(1024));
        std::string bytes;
        if (kind_ == kind::kFile) {
            SecureString text;
            ASSERT_EQ(keytool::MakeKeyFile(key_.get(), kPassword, text), 0);
            bytes.assign(text.view());
            fingerprint_ = FileFingerprint(key_.get());
        } else {
            bytes = keytool::MakePkcs8(key_.get(), kPassword, "aes-256-cbc");
            ASSERT_FALSE(bytes.empty());
            fingerprint_ = Pkcs8Fingerprint(key_.get());
        }
        fileBytes_ = bytes;
        std::ofstream(osPath_, std::ios::binary) << bytes;
        ASSERT_EQ(comp_->SetKey("k1", Hex("Firma").c_str(), fingerprint_.c_str(), kind_), 0);
    }
    void TearDown() override {
        SetLanguageIndex(kLanguagePolish);
        FlowTest::TearDown();
    }

    OpResult Sign() { return comp_->SignOperation("|k1|", "k1", Hex(kOrder).c_str()); }
    void ExpectSigned(const OpResult& r) {
        ASSERT_EQ(r.code, code::kOk);
        ASSERT_EQ(r.fields.size(), 2u);
        EXPECT_EQ(r.fields[0], "k1");
        std::vector<unsigned char> signature;
        ASSERT_EQ(HexDecode(r.fields[1], signature), 0);
        EXPECT_TRUE(Verifies(key_.get(), kOrder, signature));
    }
    std::string Location() {
        std::string hex;
        return comp_->GetKeyLocation("k1", hex) == 0 ? hex : "none";
    }
    // The bytes of the key's value as the user's registry file holds them.
    std::string StoredInTheRegistryFile() {
        std::ifstream in(Path("user.reg"), std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(in)), {});
        reg::RegDocument doc;
        EXPECT_TRUE(reg::ParseRegText(text, false, doc));
        for (const auto& section : doc.sections)
            for (const auto& value : section.values)
                if (value.name == "k1") return value.data;
        return "none";
    }
    static std::string Quoted(const std::string& utf8Path) { return "\"" + utf8Path + "\""; }
    std::string MissingWarning() const {
        return cp::AnsiToUtf8(KeyFileMissingText(kind_, "Firma"));
    }
    void ExpectScriptDone() { EXPECT_EQ(ui_.Finish(), 0) << ui_.Error(); }

    int kind_ = 0;
    PkeyPtr key_;
    std::string fingerprint_, fileBytes_;
    std::string osPath_;    // UTF-8, as the file system and the file dialog name it
    std::string ansiPath_;  // Windows-1250, as the component, the page and the registry hold it
};

TEST_P(PolishPathSigning, ChosenInTheFileDialogSignsAndIsRememberedInTheCodePage) {
    Script("dialog 210\nclick 1\nmessage ok\nfile " + Quoted(osPath_) + "\n" + Password(kPassword));
    ExpectSigned(Sign());
    ExpectScriptDone();
    const auto warnings = Events("message");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(MissingWarning()), std::string::npos);
    // Remembered as Windows-1250 bytes, where the page and the registry file see it.
    EXPECT_EQ(Location(), Hex(ansiPath_) + "00");
    EXPECT_EQ(StoredInTheRegistryFile(), ansiPath_ + '\0');

    // The next signature finds the file without asking.
    Script("dialog 210\nclick 1\n" + Password(kPassword));
    ExpectSigned(Sign());
    ExpectScriptDone();
    EXPECT_EQ(Events("file-dialog").size(), 1u);
    EXPECT_EQ(Events("message").size(), 1u);
}

TEST_P(PolishPathSigning, AStoredLocationInTheRegistryFileIsFound) {
    // As an earlier run, the page (SetKeyLocation) or an administrator left it: REGEDIT4 text,
    // byte for byte in the code page.
    std::ofstream(Path("user.reg"), std::ios::binary)
        << "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brantwell\\Marlow\\Keys]\n\"k1\"=\""
        << ansiPath_ << "\"\n";
    EXPECT_EQ(Location(), Hex(ansiPath_) + "00");
    Script("dialog 210\nclick 1\n" + Password(kPassword));
    ExpectSigned(Sign());
    ExpectScriptDone();
    EXPECT_TRUE(Events("message").empty());
    EXPECT_TRUE(Events("file-dialog").empty());

    // The same through the page's hex text.
    ASSERT_EQ(comp_->SetKeyLocation("k1", Hex(ansiPath_).c_str()), 0);
    Script("dialog 210\nclick 1\n" + Password(kPassword));
    ExpectSigned(Sign());
    ExpectScriptDone();
    EXPECT_TRUE(Events("message").empty());
}

TEST_P(PolishPathSigning, ChangeKeyLocationAnswersTheCodePageHexAndSignFindsTheFile) {
    Script("file " + Quoted(osPath_) + "\n");
    const OpResult changed = comp_->ChangeKeyLocation("k1");
    ExpectScriptDone();
    ASSERT_EQ(changed.code, code::kOk);
    EXPECT_EQ(changed.fields, std::vector<std::string>{Hex(ansiPath_)});
    EXPECT_EQ(Location(), Hex(ansiPath_) + "00");

    Script("dialog 210\nclick 1\n" + Password(kPassword));
    ExpectSigned(Sign());
    ExpectScriptDone();
    EXPECT_TRUE(Events("message").empty());
}

// A folder name the code page cannot hold: the user is told why the file cannot be used, the
// order dialog stays open to choose another, and nothing is stored.
TEST_P(PolishPathSigning, ANameOutsideTheCodePageIsExplainedAndNeverStored) {
    const std::string folder = "\u041a\u043b\u044e\u0447\u0438 \u9375";  // Cyrillic and CJK
    ASSERT_TRUE(QDir(dir_.path()).mkpath(QString::fromStdString(folder)));
    const std::string unusable = Path(folder + "/klucz." + (kind_ == 1 ? "prv" : "der"));
    std::ofstream(unusable, std::ios::binary) << fileBytes_;
    SetLanguageIndex(kLanguageEnglish);

    Script("dialog 210\nclick 1\nmessage ok\nfile " + Quoted(unusable) + "\nmessage ok\nclick 2\n");
    EXPECT_EQ(Sign().code, code::kCancelled);
    ExpectScriptDone();
    EXPECT_EQ(Location(), "none");
    auto messages = Events("message");
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find(MissingWarning()), std::string::npos);
    EXPECT_NE(messages[1].find("The selected file cannot be used because its name or the name of "
                               "its folder contains unsupported characters."),
              std::string::npos);
    EXPECT_NE(messages[1].find("\"icon\":\"error\""), std::string::npos);
    auto files = Events("file-dialog");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(files[0].find("\"result\":3"), std::string::npos);

    // Another press of Sign asks again; a usable file signs.
    Script("dialog 210\nclick 1\nmessage ok\nfile " + Quoted(unusable) + "\nmessage ok\n" +
           "click 1\nmessage ok\nfile " + Quoted(osPath_) + "\n" + Password(kPassword));
    ExpectSigned(Sign());
    ExpectScriptDone();
    EXPECT_EQ(Location(), Hex(ansiPath_) + "00");

    // ChangeKeyLocation refuses it too, with the same explanation, and keeps what was stored.
    Script("file " + Quoted(unusable) + "\nmessage ok\n");
    EXPECT_EQ(comp_->ChangeKeyLocation("k1").code, code::kInvalidArgument);
    EXPECT_EQ(Location(), Hex(ansiPath_) + "00");
    messages = Events("message");
    EXPECT_NE(messages.back().find("The selected file cannot be used"), std::string::npos);
    ExpectScriptDone();
}

INSTANTIATE_TEST_SUITE_P(KeyFileKinds, PolishPathSigning,
                         ::testing::Values(int{kind::kFile}, int{kind::kPkcs8File}),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == kind::kFile ? std::string("Prv")
                                                               : std::string("Pkcs8");
                         });

TEST(DeviceKeyList, MapsFingerprintsInOrderAndStopsAtAWholeIdentifier) {
    CKeysStorage keys;
    ASSERT_EQ(keys.SetKey("a", "41", "F1", 2), 0);
    ASSERT_EQ(keys.SetKey("b", "42", "F2", 11), 0);
    ASSERT_EQ(keys.SetKey("c", "43", "F1", 2), 0);
    EXPECT_EQ(MapDeviceKeyList(keys, "GemplusCard|\"F2\"-\"F1\""), "b|a|c");
    EXPECT_EQ(MapDeviceKeyList(keys, "GemplusCard|\"F9\""), "");
    EXPECT_EQ(MapDeviceKeyList(keys, ""), "");

    CKeysStorage many;
    for (int i = 0; i < 200; ++i) {
        const std::string id = "key-" + std::to_string(1000 + i);  // 8 characters each
        ASSERT_EQ(many.SetKey(id.c_str(), "41", "FP", 2), 0);
    }
    const std::string list = MapDeviceKeyList(many, "X|\"FP\"");
    EXPECT_LE(list.size(), 1023u);
    EXPECT_EQ(list.size(), 113u * 9 - 1);  // 113 whole identifiers and their bars
    EXPECT_EQ(list.substr(list.size() - 8), "key-1112");
}

}  // namespace
}  // namespace vq::test
