// RegisterCert over a real NSS database (built by tests/crypto/make_cert_db.sh).
#include "operations/register_cert.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "crypto/system_cert_store.h"
#include "storage/codes.h"
#include "tests/support/test_paths.h"

namespace vq {
namespace {

const std::filesystem::path kData =
    std::filesystem::path(vq::test_paths::BinaryDir()) / "test-data" / "certstore";

class RegisterCertTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string cmd = std::string(vq::test_paths::SourceDir()) +
                                "/tests/crypto/make_cert_db.sh " + kData.string();
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    CSystemCertStore store_{"sql:" + (kData / "plain").string()};
};

TEST_F(RegisterCertTest, ChosenCertificateAndNameComeBack) {
    int shown = 0;
    std::string nameHex, cert;
    const int rc = RegisterCert(
        store_,
        [&](const CSystemCertStore& s, std::string& name, std::string& certificate) {
            ++shown;
            EXPECT_EQ(2u, s.Count());
            for (std::size_t i = 0; i < s.Count(); ++i)
                if (s.SubjectNames()[i] == "Valid Signer") certificate = s.Certificates()[i];
            name =
                "\xA3\xF3"
                "d\x9F";  // "Łódź" in Windows-1250
            return true;
        },
        nameHex, cert);
    ASSERT_EQ(code::kOk, rc);
    EXPECT_EQ(1, shown);
    // ź differs between the code pages: 0x9F inside, 0xBC on the page.
    EXPECT_EQ("A3F364BC", nameHex);
    EXPECT_EQ(0u, cert.find("-----BEGIN CERTIFICATE-----\n"));
    CertDate end;
    EXPECT_EQ(code::kOk, CSystemCertStore::CheckValidity(cert.c_str(), 0, &end));
}

TEST_F(RegisterCertTest, CancelGives8) {
    std::string nameHex = "stale", cert = "stale";
    EXPECT_EQ(code::kCancelled,
              RegisterCert(
                  store_, [](const CSystemCertStore&, std::string&, std::string&) { return false; },
                  nameHex, cert));
    EXPECT_TRUE(nameHex.empty());
    EXPECT_TRUE(cert.empty());
    EXPECT_EQ(code::kCancelled, RegisterCert(store_, nullptr, nameHex, cert));
}

TEST_F(RegisterCertTest, StoreFailurePassesThroughWithoutDialog) {
    CSystemCertStore missing("/nonexistent/veriquill/nssdb");
    bool shown = false;
    std::string nameHex, cert;
    EXPECT_EQ(code::kCertStoreOpen, RegisterCert(
                                        missing,
                                        [&](const CSystemCertStore&, std::string&, std::string&) {
                                            shown = true;
                                            return true;
                                        },
                                        nameHex, cert));
    EXPECT_FALSE(shown);
}

}  // namespace
}  // namespace vq
