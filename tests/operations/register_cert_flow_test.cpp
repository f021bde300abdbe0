// RegisterCert as the component runs it: the user's database from VERIQUILL_NSSDB, the choice
// dialog answered by the scripted user.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <QTemporaryDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "crypto/system_cert_store.h"
#include "dialogs/chose_key_dlg.h"
#include "operations/keys_storage_comp.h"
#include "platform/qtui/qt_ui.h"
#include "resources/text.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "storage/key_storage.h"
#include "storage/network_msg.h"
#include "tests/dialogs/qt_app.h"

namespace vq {
namespace {

const std::filesystem::path kData =
    std::filesystem::path(VQ_BINARY_DIR) / "test-data" / "certstore";

// The DER bytes inside a certificate armour, decoded independently of the component.
std::string ArmourBody(const std::string& armour) {
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----";
    const std::size_t b = armour.find(begin);
    const std::size_t e = armour.find(end);
    if (b != 0 || e == std::string::npos) return {};
    std::string base64;
    for (char c : armour.substr(b + begin.size(), e - b - begin.size()))
        if (c != '\n' && c != '\r') base64 += c;
    std::string der(base64.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(der.data()),
                                  reinterpret_cast<const unsigned char*>(base64.data()),
                                  static_cast<int>(base64.size()));
    if (n < 0) return {};
    std::size_t pad = 0;
    while (pad < 2 && base64.size() > pad && base64[base64.size() - 1 - pad] == '=') ++pad;
    der.resize(static_cast<std::size_t>(n) - pad);
    return der;
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class RegisterCertFlowTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string cmd =
            std::string(VQ_SOURCE_DIR) + "/tests/crypto/make_cert_db.sh " + kData.string();
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    void SetUp() override {
        const char* old = std::getenv(kNssDatabaseEnv);
        if (old) saved_ = old;
        hadEnv_ = old != nullptr;
        UseDatabase("sql:" + (kData / "plain").string());
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(ui_.transcript().Open(dir_.filePath("t.jsonl").toStdString()));
        ui::SetCurrent(&ui_);
    }
    void TearDown() override {
        ui::SetCurrent(nullptr);
        if (hadEnv_)
            setenv(kNssDatabaseEnv, saved_.c_str(), 1);
        else
            unsetenv(kNssDatabaseEnv);
    }
    static void UseDatabase(const std::string& db) { setenv(kNssDatabaseEnv, db.c_str(), 1); }
    void Script(const std::string& text) {
        std::string error;
        ASSERT_TRUE(ui_.Load(text, error)) << error;
    }
    // The row the dialog shows the certificate of `subject` on.
    static int RowOf(const std::string& subject) {
        CSystemCertStore store;
        if (store.List() != 0) return -1;
        for (std::size_t i = 0; i < store.Count(); ++i)
            if (store.SubjectNames()[i] == subject) return static_cast<int>(i);
        return -1;
    }

    std::string saved_;
    bool hadEnv_ = false;
    QTemporaryDir dir_;
    ui::ScriptedUi ui_;
    CKeysStorageComp comp_;
};

TEST_F(RegisterCertFlowTest, ChosenCertificateComesBackAsItsDerInArmour) {
    const int row = RowOf("Valid Signer");
    ASSERT_GE(row, 0);
    // A certificate-store key already called "Praca" is in the key set.
    ASSERT_EQ(0, comp_.SetKey("k1", "5072616361", "x", kind::kCertStore));
    Script(
        "dialog 203\n"
        "select 203 " +
        std::to_string(row) +
        "\n"
        "type 202 \"Praca\"\n"
        "click 1\n"
        "message ok\n"
        "type 202 \"Praca \\u0141\\u00f3d\\u017a\"\n"
        "click 1\n");
    const OpResult r = comp_.RegisterCert();
    ASSERT_EQ(code::kOk, r.code);
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    ASSERT_EQ(2u, r.fields.size());
    // ISO-8859-2 on the page side: ź is 0xBC there (0x9F inside).
    EXPECT_EQ("507261636120A3F364BC", r.fields[0]);

    const std::string der = ArmourBody(r.fields[1]);
    ASSERT_FALSE(der.empty()) << r.fields[1];
    const auto expected = dir_.filePath("valid.der").toStdString();
    const std::string cmd = "certutil -L -d sql:" + (kData / "plain").string() + " -n valid -r > " +
                            expected + " 2>/dev/null";
    ASSERT_EQ(0, std::system(cmd.c_str()));
    EXPECT_EQ(ReadFile(expected), der);
}

TEST_F(RegisterCertFlowTest, CancelGives8) {
    Script("dialog 203\ntype 202 \"Dom\"\nselect 203 0\nclick 2\n");
    const OpResult r = comp_.RegisterCert();
    EXPECT_EQ(code::kCancelled, r.code);
    EXPECT_TRUE(r.fields.empty());
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
}

TEST_F(RegisterCertFlowTest, DatabaseThatCannotBeOpenedGives21WithoutADialog) {
    UseDatabase("sql:" + dir_.filePath("missing").toStdString());
    // No script lines: a dialog opened anyway would fail the run.
    const OpResult r = comp_.RegisterCert();
    EXPECT_EQ(code::kCertStoreOpen, r.code);
    EXPECT_TRUE(r.fields.empty());
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
}

// A certificate-store key in a protected database: the password prompt names the database as
// the user knows it, with its folder.
TEST_F(RegisterCertFlowTest, DatabasePasswordPromptNamesTheDatabaseAndItsFolder) {
    SetLanguageIndex(kLanguageEnglish);
    UseDatabase("sql:" + (kData / "locked").string());
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", kData.parent_path().c_str(), 1);
    CSystemCertStore listed;
    ASSERT_EQ(0, listed.List());
    ASSERT_EQ(1u, listed.Count());
    // The component takes the user's database when it is created.
    CKeysStorageComp comp;
    ASSERT_EQ(0, comp.SetKey("k1", "4D6F6A", listed.Certificates()[0].c_str(), kind::kCertStore));
    // The bank's answer to a log-in challenge is decrypted with the store's key.
    CProofOfPossesion answer;
    answer.keyId = "k1";
    answer.signature = std::vector<unsigned char>(128, 0x5A);
    answer.signatureLength = 128;
    const unsigned char* wire = answer.Serialize();
    ASSERT_NE(nullptr, wire);
    Script("dialog 201\ndump\nclick 2\n");
    comp.DecryptOperation("|k1|", HexEncode(std::span(wire, answer.Size())).c_str(), 0);
    if (oldHome)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
    SetLanguageIndex(kLanguagePolish);
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    const std::string transcript = ReadFile(dir_.filePath("t.jsonl").toStdString());
    EXPECT_NE(std::string::npos,
              transcript.find("\"text\":\"Enter password for the key NSS Certificate DB "
                              "(~/certstore/locked)\""))
        << transcript;
    EXPECT_EQ(std::string::npos, transcript.find("Veriquill store")) << transcript;
}

}  // namespace
}  // namespace vq
