// RegisterCert end to end: the veriquill executable runs a page script, the scripted user answers
// the certificate choice, the user's database comes from VERIQUILL_NSSDB.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/test_paths.h"

namespace {

namespace fs = std::filesystem;

const fs::path kData = fs::path(vq::test_paths::BinaryDir()) / "test-data" / "certstore";

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class RegisterCertHostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string cmd = std::string(vq::test_paths::SourceDir()) +
                                "/tests/crypto/make_cert_db.sh " + kData.string();
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("vq-regcert-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs the page script with the automation script; the exit status, stdout in `out_`.
    int Run(const std::string& page, const std::string& ui, const std::string& database) {
        WriteFile(dir_ / "page.txt", page);
        WriteFile(dir_ / "ui.txt", ui);
        const std::string cmd =
            "cd " + dir_.string() + " && env HOME=" + dir_.string() +
            " XDG_CONFIG_HOME=" + dir_.string() +
            " VERIQUILL_HKCU=" + (dir_ / "hkcu.reg").string() +
            " VERIQUILL_HKLM=" + (dir_ / "hklm.reg").string() + " VERIQUILL_NSSDB=" + database +
            " QT_QPA_PLATFORM=offscreen " + vq::test_paths::HostExe() +
            " run --ui=script:ui.txt --transcript t.jsonl page.txt > out.txt 2> err.txt";
        const int status = std::system(cmd.c_str());
        out_ = ReadFile(dir_ / "out.txt");
        transcript_ = ReadFile(dir_ / "t.jsonl");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Plain() const { return "sql:" + (kData / "plain").string(); }

    fs::path dir_;
    std::string out_;
    std::string transcript_;
};

TEST_F(RegisterCertHostTest, NameAndCertificateReachThePage) {
    // The page declares "Praca"; the user first types it, is told it is taken, then "Dom".
    const int status =
        Run("SetLanguage(1)\n"
            "SetKey(\"k1\", \"5072616361\", \"data\", 3)\n"
            "RegisterCert()\n",
            "dialog 203\n"
            "dump\n"
            "select 203 0\n"
            "type 202 \"Praca\"\n"
            "click 1\n"
            "message ok\n"
            "type 202 \"Dom\"\n"
            "click 1\n",
            Plain());
    EXPECT_EQ(0, status) << ReadFile(dir_ / "err.txt");
    EXPECT_NE(std::string::npos, out_.find("\n0|446F6D|-----BEGIN CERTIFICATE-----\n")) << out_;
    EXPECT_NE(std::string::npos, out_.find("-----END CERTIFICATE-----")) << out_;
    EXPECT_NE(std::string::npos, transcript_.find("\"text\":\"This key name is already in use\""))
        << transcript_;
    EXPECT_NE(std::string::npos, transcript_.find("\"columns\":[\"Issued for:\",\"Issued by:\"]"));
    EXPECT_NE(std::string::npos, transcript_.find("{\"event\":\"end\",\"ok\":true}"));
}

TEST_F(RegisterCertHostTest, CancelAndUnopenableDatabase) {
    EXPECT_EQ(0, Run("RegisterCert()\n", "dialog 203\nkey escape\n", Plain()))
        << ReadFile(dir_ / "err.txt");
    EXPECT_EQ("8\n", out_);
    EXPECT_EQ(0, Run("RegisterCert()\n", "", "sql:" + (dir_ / "none").string()))
        << ReadFile(dir_ / "err.txt");
    EXPECT_EQ("21\n", out_);
    EXPECT_EQ(std::string::npos, transcript_.find("dialog-open"));
}

}  // namespace
