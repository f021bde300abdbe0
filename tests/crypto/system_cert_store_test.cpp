// The certificate store over real NSS databases built by make_cert_db.sh with openssl, certutil
// and pk12util.
#include "crypto/system_cert_store.h"

#include <gtest/gtest.h>
#include <nss.h>
#include <pk11pub.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>

#include "crypto/nss_db.h"
#include "storage/armour.h"
#include "storage/codes.h"
#include "tests/support/test_paths.h"

namespace fs = std::filesystem;

namespace vq {
namespace {

const fs::path kData = fs::path(vq::test_paths::BinaryDir()) / "test-data" / "certstore";

int Shell(const std::string& command) {
    const int rc = std::system(command.c_str());
    return rc == -1 ? -1 : WEXITSTATUS(rc);
}

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void WriteFile(const fs::path& p, std::string_view data) {
    std::ofstream f(p, std::ios::binary);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Kind-2 armour of a fixture certificate (DER by openssl, armoured by the project's encoder).
std::string ArmourOf(const std::string& nick) {
    const fs::path der =
        fs::temp_directory_path() / ("vq-" + nick + "-" + std::to_string(getpid()) + ".der");
    EXPECT_EQ(0, Shell("openssl x509 -in " + (kData / (nick + ".crt.pem")).string() +
                       " -outform der -out " + der.string()));
    const std::string bytes = ReadFile(der);
    fs::remove(der);
    return ArmourEncode(
        std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()),
        armour::kCertificate);
}

// NotAfter of a fixture certificate as told by openssl.
CertDate EndDateOf(const std::string& nick) {
    const fs::path out = fs::temp_directory_path() / ("vq-end-" + std::to_string(getpid()));
    EXPECT_EQ(0, Shell("openssl x509 -in " + (kData / (nick + ".crt.pem")).string() +
                       " -noout -enddate -dateopt iso_8601 > " + out.string()));
    CertDate d;
    std::sscanf(ReadFile(out).c_str(), "notAfter=%d-%d-%d", &d.year, &d.month, &d.day);
    fs::remove(out);
    return d;
}

class CertStoreTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(0, Shell(std::string(vq::test_paths::SourceDir()) +
                           "/tests/crypto/make_cert_db.sh " + kData.string()));
    }

    void SetUp() override {
        char tmpl[] = "/tmp/vq-certstore-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        tmp_ = tmpl;
    }
    void TearDown() override {
        fs::remove_all(tmp_);
        EXPECT_FALSE(NSS_IsInitialized()) << "the store left NSS initialised";
        EXPECT_EQ(0, nss::Database::ShutdownFailures());
    }

    // A private copy of a fixture database, for tests that change it.
    std::string CopyOf(const std::string& db) {
        fs::copy(kData / db, tmp_ / db, fs::copy_options::recursive);
        return "sql:" + (tmp_ / db).string();
    }
    static std::string Db(const std::string& db) { return "sql:" + (kData / db).string(); }

    // Verifies an SHA-1 PKCS#1 v1.5 signature with openssl against the certificate.
    bool OpensslVerifies(const std::string& nick, std::string_view data,
                         const SecureBytes& signature) {
        WriteFile(tmp_ / "data", data);
        WriteFile(tmp_ / "sig", std::string_view(reinterpret_cast<const char*>(signature.data()),
                                                 signature.size()));
        const std::string cert = (kData / (nick + ".crt.pem")).string();
        return Shell("openssl x509 -in " + cert + " -noout -pubkey > " + (tmp_ / "pub").string() +
                     " && openssl dgst -sha1 -verify " + (tmp_ / "pub").string() + " -signature " +
                     (tmp_ / "sig").string() + " " + (tmp_ / "data").string() + " >/dev/null") == 0;
    }

    fs::path tmp_;
};

std::ptrdiff_t IndexOf(const std::vector<std::string>& v, const std::string& s) {
    auto it = std::find(v.begin(), v.end(), s);
    return it == v.end() ? -1 : it - v.begin();
}

// ---- List ----

TEST_F(CertStoreTest, ListsValidCertificatesWithKeysOnly) {
    CSystemCertStore store(Db("plain"));
    ASSERT_EQ(code::kOk, store.List());
    // valid and second; not expired, future, big (armour too long) or nokey (no private key).
    ASSERT_EQ(2u, store.Count());
    ASSERT_EQ(2u, store.SubjectNames().size());
    ASSERT_EQ(2u, store.IssuerNames().size());
    ASSERT_EQ(2u, store.SubjectDns().size());
    ASSERT_EQ(2u, store.IssuerDns().size());

    const auto v = IndexOf(store.SubjectNames(), "Valid Signer");
    ASSERT_GE(v, 0);
    EXPECT_EQ("Valid Signer", store.IssuerNames()[v]);  // self-signed
    // Most specific RDN first; these fixtures encode CN first, so it comes last.
    EXPECT_EQ("C=PL,O=Veriquill Test,CN=Valid Signer", store.SubjectDns()[v]);
    EXPECT_EQ(store.SubjectDns()[v], store.IssuerDns()[v]);
    EXPECT_EQ(ArmourOf("valid"), store.Certificates()[v]);

    // No common name: the unit names it; the text is converted to Windows-1250.
    const std::string unit =
        "Dzia\xB3 P\xB3"
        "atno\x9C"
        "ci";
    const auto s = IndexOf(store.SubjectNames(), unit);
    ASSERT_GE(s, 0);
    EXPECT_EQ("O=Second Org,OU=" + unit, store.SubjectDns()[s]);
    EXPECT_EQ(ArmourOf("second"), store.Certificates()[s]);
}

TEST_F(CertStoreTest, OversizedArmourIsLeftOutThoughValid) {
    const std::string big = ArmourOf("big");
    ASSERT_GT(big.size(), kCertListBuffer);
    EXPECT_EQ(code::kOk, CSystemCertStore::CheckValidity(big.c_str(), 0, nullptr));
    CSystemCertStore store(Db("plain"));
    ASSERT_EQ(code::kOk, store.List());
    EXPECT_EQ(-1, IndexOf(store.Certificates(), big));
}

TEST_F(CertStoreTest, MissingDatabaseGives21AndEmptiesTheLists) {
    CSystemCertStore store(Db("plain"));
    ASSERT_EQ(code::kOk, store.List());
    ASSERT_GT(store.Count(), 0u);
    CSystemCertStore missing((tmp_ / "nowhere").string());
    EXPECT_EQ(code::kCertStoreOpen, missing.List());
    EXPECT_EQ(0u, missing.Count());

    // A second List replaces, never appends.
    ASSERT_EQ(code::kOk, store.List());
    EXPECT_EQ(2u, store.Count());
}

TEST_F(CertStoreTest, EmptyDatabaseListsNothing) {
    ASSERT_EQ(0, Shell("certutil -N -d sql:" + tmp_.string() + " --empty-password"));
    CSystemCertStore store(tmp_.string());  // a plain directory means sql:
    EXPECT_EQ(code::kOk, store.List());
    EXPECT_EQ(0u, store.Count());
}

TEST_F(CertStoreTest, PasswordProtectedDatabaseListsWithoutAsking) {
    CSystemCertStore store(Db("locked"));
    int asked = 0;
    store.SetPasswordPrompt([&](std::string_view) {
        ++asked;
        return std::optional<SecureString>();
    });
    ASSERT_EQ(code::kOk, store.List());
    ASSERT_EQ(1u, store.Count());
    EXPECT_EQ("Locked Signer", store.SubjectNames()[0]);
    EXPECT_EQ(0, asked);
}

TEST_F(CertStoreTest, DefaultDatabaseFollowsEnvironment) {
    const char* old = std::getenv(kNssDatabaseEnv);
    const std::string saved = old ? old : "";
    setenv(kNssDatabaseEnv, "/somewhere/else", 1);
    EXPECT_EQ("/somewhere/else", CSystemCertStore::DefaultDatabase());
    unsetenv(kNssDatabaseEnv);
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : ".";
    EXPECT_EQ("sql:" + home + "/.pki/nssdb", CSystemCertStore::DefaultDatabase());
    if (old) setenv(kNssDatabaseEnv, saved.c_str(), 1);
    EXPECT_EQ("sql:/a", nss::DatabaseSpec("/a"));
    EXPECT_EQ("dbm:/a", nss::DatabaseSpec("dbm:/a"));
}

// ---- Check validity ----

TEST_F(CertStoreTest, ValidityAtNowAndDaysAhead) {
    CertDate d;
    EXPECT_EQ(code::kOk, CSystemCertStore::CheckValidity(ArmourOf("valid").c_str(), 0, &d));
    const CertDate end = EndDateOf("valid");
    EXPECT_EQ(end.year, d.year);
    EXPECT_EQ(end.month, d.month);
    EXPECT_EQ(end.day, d.day);

    // second ends ten days after it was made.
    const std::string second = ArmourOf("second");
    EXPECT_EQ(code::kOk, CSystemCertStore::CheckValidity(second.c_str(), 9, nullptr));
    EXPECT_EQ(code::kCertNotValid, CSystemCertStore::CheckValidity(second.c_str(), 11, nullptr));
    // future starts three days after it was made.
    const std::string future = ArmourOf("future");
    EXPECT_EQ(code::kCertNotValid, CSystemCertStore::CheckValidity(future.c_str(), 0, nullptr));
    EXPECT_EQ(code::kCertNotValid, CSystemCertStore::CheckValidity(future.c_str(), 2, nullptr));
    EXPECT_EQ(code::kOk, CSystemCertStore::CheckValidity(future.c_str(), 4, nullptr));
    // Negative days look back: the valid certificate started two days ago.
    EXPECT_EQ(code::kCertNotValid,
              CSystemCertStore::CheckValidity(ArmourOf("valid").c_str(), -3, nullptr));

    // Expired: 80, and the expiry date still comes out.
    d = {};
    EXPECT_EQ(code::kCertNotValid,
              CSystemCertStore::CheckValidity(ArmourOf("expired").c_str(), 0, &d));
    EXPECT_EQ(EndDateOf("expired").year, d.year);
}

TEST_F(CertStoreTest, ValidityRejectsWhatIsNoCertificate) {
    EXPECT_EQ(code::kInvalidArgument, CSystemCertStore::CheckValidity(nullptr, 0, nullptr));
    EXPECT_EQ(code::kNotCertificate, CSystemCertStore::CheckValidity("", 0, nullptr));
    EXPECT_EQ(code::kNotCertificate, CSystemCertStore::CheckValidity("hello", 0, nullptr));
    // A data armour of the same bytes is not a certificate armour.
    const std::string valid = ArmourOf("valid");
    std::string data = valid;
    data.replace(0, std::strlen("-----BEGIN CERTIFICATE-----"), "-----BEGIN DATA-----");
    EXPECT_EQ(code::kNotCertificate, CSystemCertStore::CheckValidity(data.c_str(), 0, nullptr));
    // Certificate armour around bytes that are no certificate.
    const unsigned char junk[] = {0x30, 0x03, 0x02, 0x01, 0x05};
    EXPECT_EQ(code::kNotCertificate,
              CSystemCertStore::CheckValidity(
                  ArmourEncode(std::span(junk), armour::kCertificate).c_str(), 0, nullptr));
    // A truncated certificate.
    std::string cut = valid.substr(0, valid.size() / 2);
    EXPECT_EQ(code::kNotCertificate, CSystemCertStore::CheckValidity(cut.c_str(), 0, nullptr));
    // Header and footer only.
    EXPECT_EQ(code::kNotCertificate,
              CSystemCertStore::CheckValidity(
                  "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n", 0, nullptr));
}

TEST_F(CertStoreTest, ValidityOfUnrepresentableMomentGives1) {
    const std::string valid = ArmourOf("valid");
    EXPECT_EQ(code::kInvalidArgument,
              CSystemCertStore::CheckValidity(valid.c_str(), INT_MAX, nullptr));
    EXPECT_EQ(code::kInvalidArgument,
              CSystemCertStore::CheckValidity(valid.c_str(), INT_MIN, nullptr));
    // About 7000 years ahead is still a date.
    EXPECT_EQ(code::kCertNotValid,
              CSystemCertStore::CheckValidity(valid.c_str(), 7000 * 365, nullptr));
}

// ---- Sign and decrypt ----

TEST_F(CertStoreTest, SignatureVerifiesWithOpensslAndMatchesItsOwn) {
    CSystemCertStore store(Db("plain"));
    const std::string order = "ZLECENIE 17|1000,00 PLN";
    SecureBytes sig;
    ASSERT_EQ(code::kOk, store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("valid").c_str(),
                                             reinterpret_cast<const unsigned char*>(order.data()),
                                             order.size(), sig));
    EXPECT_EQ(256u, sig.size());
    EXPECT_TRUE(OpensslVerifies("valid", order, sig));

    // PKCS#1 v1.5 is deterministic: openssl's own signature is byte for byte the same.
    WriteFile(tmp_ / "order", order);
    ASSERT_EQ(0, Shell("openssl dgst -sha1 -sign " + (kData / "valid.key.pem").string() + " -out " +
                       (tmp_ / "ref").string() + " " + (tmp_ / "order").string()));
    const std::string ref = ReadFile(tmp_ / "ref");
    EXPECT_EQ(ref, std::string(sig.begin(), sig.end()));

    // Empty input: the digest of nothing.
    ASSERT_EQ(code::kOk, store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("second").c_str(),
                                             nullptr, 0, sig));
    EXPECT_TRUE(OpensslVerifies("second", "", sig));
}

TEST_F(CertStoreTest, DecryptsWhatOpensslEncrypted) {
    CSystemCertStore store(Db("plain"));
    const std::string secret = "challenge-0123456789";
    WriteFile(tmp_ / "plain", secret);
    ASSERT_EQ(
        0, Shell("openssl x509 -in " + (kData / "valid.crt.pem").string() + " -noout -pubkey > " +
                 (tmp_ / "pub").string() + " && openssl pkeyutl -encrypt -pubin -inkey " +
                 (tmp_ / "pub").string() + " -pkeyopt rsa_padding_mode:pkcs1 -in " +
                 (tmp_ / "plain").string() + " -out " + (tmp_ / "cipher").string()));
    const std::string cipher = ReadFile(tmp_ / "cipher");
    SecureBytes out;
    ASSERT_EQ(code::kOk, store.SignOrDecrypt(certmode::kDecrypt, ArmourOf("valid").c_str(),
                                             reinterpret_cast<const unsigned char*>(cipher.data()),
                                             cipher.size(), out));
    EXPECT_EQ(secret, std::string(out.begin(), out.end()));

    // The same bytes under the other certificate's key do not give the secret: NSS either
    // reports the bad padding or (implicit rejection) returns unrelated bytes.
    const int rc = store.SignOrDecrypt(certmode::kDecrypt, ArmourOf("second").c_str(),
                                       reinterpret_cast<const unsigned char*>(cipher.data()),
                                       cipher.size(), out);
    if (rc == code::kOk)
        EXPECT_NE(secret, std::string(out.begin(), out.end()));
    else
        EXPECT_EQ(code::kDecryptFailed, rc);
    // Nothing to decrypt.
    EXPECT_EQ(code::kDecryptFailed,
              store.SignOrDecrypt(certmode::kDecrypt, ArmourOf("valid").c_str(), nullptr, 0, out));
}

TEST_F(CertStoreTest, InputLimitsAndModes) {
    CSystemCertStore store(Db("plain"));
    const std::string valid = ArmourOf("valid");
    std::vector<unsigned char> in(kCertDecryptMaxInput + 1, 0x41);
    SecureBytes out;
    // Over 1024 bytes is refused unprocessed; exactly 1024 reaches the key (and fails there).
    EXPECT_EQ(code::kInvalidArgument,
              store.SignOrDecrypt(certmode::kDecrypt, valid.c_str(), in.data(), in.size(), out));
    EXPECT_EQ(code::kDecryptFailed, store.SignOrDecrypt(certmode::kDecrypt, valid.c_str(),
                                                        in.data(), kCertDecryptMaxInput, out));
    // Signing has no such limit.
    EXPECT_EQ(code::kOk,
              store.SignOrDecrypt(certmode::kSignSha1, valid.c_str(), in.data(), in.size(), out));
    // Other modes: 1 (the engine's mode 4 is among them).
    for (int mode : {0, 2, 4, -1}) {
        EXPECT_EQ(code::kInvalidArgument,
                  store.SignOrDecrypt(mode, valid.c_str(), in.data(), 10, out))
            << mode;
        EXPECT_TRUE(out.empty());
    }
    EXPECT_EQ(code::kInvalidArgument,
              store.SignOrDecrypt(certmode::kSignSha1, nullptr, in.data(), 10, out));
    EXPECT_EQ(code::kInvalidArgument,
              store.SignOrDecrypt(certmode::kSignSha1, valid.c_str(), nullptr, 10, out));
    EXPECT_EQ(code::kNotCertificate,
              store.SignOrDecrypt(certmode::kSignSha1, "junk", in.data(), 10, out));
}

TEST_F(CertStoreTest, CertificateAbsentOrKeyless) {
    const std::string db = CopyOf("plain");
    CSystemCertStore store(db);
    const std::string valid = ArmourOf("valid");
    const unsigned char data[] = "x";
    SecureBytes out;
    ASSERT_EQ(code::kOk, store.SignOrDecrypt(certmode::kSignSha1, valid.c_str(), data, 1, out));

    // Deleted from the database after it was listed.
    ASSERT_EQ(0, Shell("certutil -D -d " + db + " -n valid"));
    EXPECT_EQ(code::kCertNotInStore,
              store.SignOrDecrypt(certmode::kSignSha1, valid.c_str(), data, 1, out));
    EXPECT_TRUE(out.empty());
    // Never in this database.
    EXPECT_EQ(code::kCertNotInStore,
              store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("locked").c_str(), data, 1, out));
    // In the database without its private key.
    EXPECT_EQ(code::kPrivateKeyUnavailable,
              store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("nokey").c_str(), data, 1, out));
    // The database itself is gone.
    CSystemCertStore gone((tmp_ / "nowhere").string());
    EXPECT_EQ(code::kCertStoreOpen,
              gone.SignOrDecrypt(certmode::kSignSha1, valid.c_str(), data, 1, out));
}

TEST_F(CertStoreTest, PasswordPromptOfProtectedDatabase) {
    CSystemCertStore store(Db("locked"));
    const std::string locked = ArmourOf("locked");
    const std::string order = "order";
    const auto* in = reinterpret_cast<const unsigned char*>(order.data());
    SecureBytes out;

    // No prompt: the key cannot be reached.
    EXPECT_EQ(code::kPrivateKeyUnavailable,
              store.SignOrDecrypt(certmode::kSignSha1, locked.c_str(), in, order.size(), out));

    std::vector<std::string> tokens;
    std::optional<SecureString> answer;
    store.SetPasswordPrompt([&](std::string_view token) {
        tokens.emplace_back(token);
        return answer;
    });
    // Cancelled.
    EXPECT_EQ(code::kSignatureCancelled,
              store.SignOrDecrypt(certmode::kSignSha1, locked.c_str(), in, order.size(), out));
    // Wrong password.
    answer = SecureString("wrong");
    EXPECT_EQ(code::kWrongPasswordLower,
              store.SignOrDecrypt(certmode::kSignSha1, locked.c_str(), in, order.size(), out));
    // Right password, asked again for every operation.
    answer = SecureString("s3cret");
    ASSERT_EQ(code::kOk,
              store.SignOrDecrypt(certmode::kSignSha1, locked.c_str(), in, order.size(), out));
    EXPECT_TRUE(OpensslVerifies("locked", order, out));
    ASSERT_EQ(code::kOk,
              store.SignOrDecrypt(certmode::kSignSha1, locked.c_str(), in, order.size(), out));
    ASSERT_EQ(4u, tokens.size());
    EXPECT_FALSE(tokens[0].empty());

    // Unknown modes are refused before anyone is asked.
    tokens.clear();
    EXPECT_EQ(code::kInvalidArgument,
              store.SignOrDecrypt(4, locked.c_str(), in, order.size(), out));
    EXPECT_TRUE(tokens.empty());
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST_F(CertStoreTest, PasswordPromptNamesTheDatabaseAndItsFolder) {
    const std::string locked = ArmourOf("locked");
    const unsigned char data[] = "abc";
    // The subject the prompt is given for a copy of the locked database in `folder`.
    auto subjectFor = [&](const std::string& database) {
        CSystemCertStore store(database);
        std::vector<std::string> subjects;
        store.SetPasswordPrompt([&](std::string_view subject) {
            subjects.emplace_back(subject);
            return std::optional<SecureString>();
        });
        SecureBytes out;
        EXPECT_EQ(code::kSignatureCancelled,
                  store.SignOrDecrypt(certmode::kSignSha1, locked.c_str(), data, 3, out));
        EXPECT_EQ(1u, subjects.size());
        return subjects.empty() ? std::string() : subjects[0];
    };
    const fs::path home = tmp_ / "home";
    // A folder with Polish letters (UTF-8 on the disk) in the user's home.
    const fs::path polish = home / "Bazy \u017C\u00F3\u0142\u0107" / "nssdb";
    fs::create_directories(polish.parent_path());
    fs::copy(kData / "locked", polish, fs::copy_options::recursive);
    {
        ScopedEnv env("HOME", home.string());
        // The name the user knows from certutil and the browsers, and the folder in the
        // component's code page, the home directory as "~".
        EXPECT_EQ("NSS Certificate DB (~/Bazy \xBF\xF3\xB3\xE6/nssdb)",
                  subjectFor("sql:" + polish.string()));
        // A plain directory is a "sql:" database; the name is the same.
        EXPECT_EQ("NSS Certificate DB (~/Bazy \xBF\xF3\xB3\xE6/nssdb)",
                  subjectFor(polish.string()));
    }
    {
        // A home with a trailing slash is still the home; a folder that only starts with the
        // home's name is not inside it.
        ScopedEnv env("HOME", home.string() + "/");
        EXPECT_EQ("NSS Certificate DB (~/Bazy \xBF\xF3\xB3\xE6/nssdb)",
                  subjectFor("sql:" + polish.string()));
        const fs::path beside = tmp_ / "home2";
        fs::copy(kData / "locked", beside, fs::copy_options::recursive);
        EXPECT_EQ("NSS Certificate DB (" + beside.string() + ")",
                  subjectFor("sql:" + beside.string()));
    }
    {
        // Outside the home the full path; letters the code page lacks become "?".
        ScopedEnv env("HOME", "/nonexistent");
        const fs::path cyrillic = tmp_ / "\u0431\u0430\u0437\u0430";
        fs::copy(kData / "locked", cyrillic, fs::copy_options::recursive);
        EXPECT_EQ("NSS Certificate DB (" + tmp_.string() + "/" + std::string(4, '?') + ")",
                  subjectFor("sql:" + cyrillic.string()));
        EXPECT_EQ(
            "NSS Certificate DB (" + (home / "Bazy \xBF\xF3\xB3\xE6" / "nssdb").string() + ")",
            subjectFor("sql:" + polish.string()));
    }
}

TEST_F(CertStoreTest, PasswordTypedInTheComponentCodePage) {
    // The dialog gives Windows-1250 text; NSS keeps the password as UTF-8.
    CSystemCertStore store(Db("polish"));
    std::string typed = "has\xB3o";
    store.SetPasswordPrompt([&](std::string_view) { return std::optional(SecureString(typed)); });
    const unsigned char data[] = "abc";
    SecureBytes out;
    EXPECT_EQ(code::kOk,
              store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("locked").c_str(), data, 3, out));
    typed = "haslo";
    EXPECT_EQ(code::kWrongPasswordLower,
              store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("locked").c_str(), data, 3, out));
}

TEST_F(CertStoreTest, DatabaseFilesUnchangedByUse) {
    const std::string db = CopyOf("locked");
    const fs::path dir = tmp_ / "locked";
    auto snapshot = [&] {
        std::map<std::string, std::pair<std::string, std::int64_t>> files;
        for (const auto& e : fs::directory_iterator(dir)) {
            struct stat st {};
            stat(e.path().c_str(), &st);
            files[e.path().filename()] = {
                ReadFile(e.path()),
                static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
        }
        return files;
    };
    const auto before = snapshot();
    ASSERT_FALSE(before.empty());

    CSystemCertStore store(db);
    store.SetPasswordPrompt([](std::string_view) { return std::optional(SecureString("s3cret")); });
    ASSERT_EQ(code::kOk, store.List());
    ASSERT_EQ(1u, store.Count());
    SecureBytes out;
    const unsigned char data[] = "abc";
    ASSERT_EQ(code::kOk, store.SignOrDecrypt(certmode::kSignSha1, store.Certificates()[0].c_str(),
                                             data, 3, out));
    EXPECT_EQ(
        code::kDecryptFailed,
        store.SignOrDecrypt(certmode::kDecrypt, store.Certificates()[0].c_str(), data, 3, out));
    const auto after = snapshot();
    EXPECT_EQ(before.size(), after.size()) << "files were created or removed";
    for (const auto& [name, state] : before) {
        ASSERT_TRUE(after.count(name)) << name;
        EXPECT_TRUE(state.first == after.at(name).first) << name << " changed";
        EXPECT_EQ(state.second, after.at(name).second) << name << " touched";
    }
}

// Another user of NSS in the process keeps its own context and database.
TEST_F(CertStoreTest, CoexistsWithAnotherNssUser) {
    NSSInitParameters params{};
    params.length = sizeof(params);
    const std::string other = Db("locked");
    NSSInitContext* context = NSS_InitContext(other.c_str(), "", "", "", &params,
                                              NSS_INIT_READONLY | NSS_INIT_NOROOTINIT);
    ASSERT_NE(nullptr, context);
    auto countOthers = [] {
        CERTCertList* list = PK11_ListCerts(PK11CertListUser, nullptr);
        int n = 0;
        if (list) {
            for (CERTCertListNode* node = CERT_LIST_HEAD(list); !vq::nss::AtListEnd(node, list);
                 node = CERT_LIST_NEXT(node))
                n +=
                    std::string(node->cert->subjectName).find("Locked Signer") != std::string::npos;
            CERT_DestroyCertList(list);
        }
        return n;
    };
    ASSERT_EQ(1, countOthers());

    // The store lists its own database only, and signs.
    CSystemCertStore store(Db("plain"));
    ASSERT_EQ(code::kOk, store.List());
    EXPECT_EQ(2u, store.Count());
    SecureBytes out;
    const unsigned char data[] = "abc";
    EXPECT_EQ(code::kOk,
              store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("valid").c_str(), data, 3, out));

    // The same database the other user opened: the store uses it and leaves it open.
    CSystemCertStore same(other);
    ASSERT_EQ(code::kOk, same.List());
    EXPECT_EQ(1u, same.Count());

    // A database the other user opened as an extra slot stays open for it.
    const std::string spec = "configdir='" + Db("plain") + "' tokenDescription='Other user'";
    PK11SlotInfo* slot = SECMOD_OpenUserDB(spec.c_str());
    ASSERT_NE(nullptr, slot);
    ASSERT_EQ(code::kOk, store.List());
    EXPECT_EQ(2u, store.Count());
    EXPECT_TRUE(PK11_IsPresent(slot));
    EXPECT_STREQ("Other user", PK11_GetTokenName(slot));
    CERTCertList* certs = PK11_ListCertsInSlot(slot);
    EXPECT_NE(nullptr, certs);
    if (certs) {
        EXPECT_FALSE(CERT_LIST_EMPTY(certs));
        CERT_DestroyCertList(certs);
    }
    EXPECT_EQ(SECSuccess, SECMOD_CloseUserDB(slot));
    PK11_FreeSlot(slot);

    EXPECT_TRUE(NSS_IsInitialized());
    EXPECT_EQ(1, countOthers());
    EXPECT_EQ(SECSuccess, NSS_ShutdownContext(context));
}

// Another user of NSS in the process has the protected database open as its own: the prompt
// names it the same way, never by a label of the store's own.
TEST_F(CertStoreTest, PasswordPromptNamesADatabaseAnotherNssUserHasOpen) {
    NSSInitParameters params{};
    params.length = sizeof(params);
    NSSInitContext* context = NSS_InitContext(Db("locked").c_str(), "", "", "", &params,
                                              NSS_INIT_READONLY | NSS_INIT_NOROOTINIT);
    ASSERT_NE(nullptr, context);
    for (int round = 0; round < 2; ++round) {
        CSystemCertStore store(Db("locked"));
        std::vector<std::string> subjects;
        store.SetPasswordPrompt([&](std::string_view subject) {
            subjects.emplace_back(subject);
            return std::optional<SecureString>();
        });
        SecureBytes out;
        const unsigned char data[] = "abc";
        EXPECT_EQ(
            code::kSignatureCancelled,
            store.SignOrDecrypt(certmode::kSignSha1, ArmourOf("locked").c_str(), data, 3, out));
        ASSERT_EQ(1u, subjects.size());
        EXPECT_EQ("NSS Certificate DB (" + (kData / "locked").string() + ")", subjects[0]);
    }
    EXPECT_EQ(SECSuccess, NSS_ShutdownContext(context));
}

}  // namespace
}  // namespace vq
