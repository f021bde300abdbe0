// The engine against files and signatures made by the openssl command-line tool.
#include "crypto/base_rsa.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
using namespace std::string_literals;
#include <vector>

#include "hosts/keytool/key_file_writer.h"
#include "storage/armour.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "storage/key_file.h"

namespace vq {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

fs::path g_dir;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
void Put(const fs::path& p, std::string_view bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// Runs a shell command in the temp dir; returns its standard output or fails the test.
std::string Shell(const std::string& cmd) {
    const std::string full = "cd '" + g_dir.string() + "' && " + cmd + " 2>>openssl.err";
    FILE* p = popen(full.c_str(), "r");
    if (!p) return {};
    std::string out;
    char buf[512];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = pclose(p);
    EXPECT_EQ(rc, 0) << cmd << "\n" << Slurp(g_dir / "openssl.err");
    return out;
}

std::string Hex(std::string_view s) {
    return HexEncode(s);
}
std::string HexOf(const Bytes& b) {
    return HexEncode(b);
}

// The password as the BMPString that PKCS#12 derivation hashes.
std::string BmpHex(std::string_view password) {
    std::string hex;
    for (char c : password) hex += "00" + HexEncode(std::string_view(&c, 1));
    return hex + "0000";
}

std::string KdfHex(const std::string& password, const std::string& maskedSaltHex, int id,
                   int keylen) {
    std::string out = Shell("openssl kdf -keylen " + std::to_string(keylen) +
                            " -kdfopt digest:SHA1 -kdfopt hexpass:" + BmpHex(password) +
                            " -kdfopt hexsalt:" + maskedSaltHex +
                            " -kdfopt iter:1024 -kdfopt id:" + std::to_string(id) + " PKCS12KDF");
    std::string hex;
    for (char c : out)
        if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
    return hex;
}

// A key file built with the command-line tool only: PKCS#1 DER, PKCS#12 key derivation,
// Triple-DES-CBC, Base64 in 64-character lines.
std::string CliKeyFile(const std::string& pem, const std::string& password, const Bytes& salt) {
    Bytes masked(salt);
    for (std::size_t i = 0; i < 8; ++i) masked[i] ^= kKeyFileSaltMask[i];
    const std::string key = KdfHex(password, HexOf(masked), 1, 24);
    const std::string iv = KdfHex(password, HexOf(masked), 2, 8);
    Shell("openssl rsa -in " + pem + " -traditional -outform DER -out cli.der");
    Shell("openssl enc -des-ede3-cbc -K " + key + " -iv " + iv + " -in cli.der -out cli.ct");
    const std::string ct = Slurp(g_dir / "cli.ct");
    std::string payload(salt.begin(), salt.end());
    for (int i = 0; i < 4; ++i) payload += static_cast<char>(ct.size() >> (8 * i));
    Put(g_dir / "cli.payload", payload + ct);
    return "-----BEGIN DATA-----\n" + Shell("openssl base64 -in cli.payload") +
           "-----END DATA-----\n";
}

Bytes Sha1(const std::string& bytes) {
    Bytes md(20);
    EVP_Digest(bytes.data(), bytes.size(), md.data(), nullptr, EVP_sha1(), nullptr);
    return md;
}

const Bytes kSalt = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87};

class RsaEngine : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        char tmpl[] = "/tmp/vq_rsa_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        g_dir = tmpl;
        Shell("openssl genrsa -out a.pem 1024");
        Shell("openssl genrsa -out b.pem 1024");
        Shell("openssl rsa -in a.pem -pubout -out a.pub");
        keyFile_ = new std::string(CliKeyFile("a.pem", "correct horse", kSalt));
        // Key a's payload, kept apart from the working file that later key files overwrite.
        fs::copy_file(g_dir / "cli.payload", g_dir / "a.payload");
        // Fingerprints from the tool's modulus output: SHA-1 of n || e (e = 65537).
        std::string mod = Shell("openssl rsa -in a.pem -noout -modulus");
        mod = mod.substr(mod.find('=') + 1);
        mod.resize(256);
        std::string n;
        HexDecode(mod, n);
        fileFp_ = new std::string(HexEncode(Sha1(n + "\x01\x00\x01"s)));
        p8Fp_ = new std::string(HexEncode(Sha1(std::string(1, '\0') + n + "\x01\x00\x01"s)));
    }
    static void TearDownTestSuite() {
        fs::remove_all(g_dir);
        delete keyFile_;
        delete fileFp_;
        delete p8Fp_;
    }

    // Signs with the CLI-built key file of key a.
    int Sign(const std::string& data, int mode, SecureBytes& out, const char* fp = nullptr) {
        const std::string hex = Hex(*keyFile_);
        return rsa_.SignData(hex.c_str(), key_format::kKeyFile, fp, "correct horse",
                             reinterpret_cast<const unsigned char*>(data.data()), data.size(), out,
                             mode);
    }

    static inline std::string* keyFile_ = nullptr;
    static inline std::string* fileFp_ = nullptr;
    static inline std::string* p8Fp_ = nullptr;
    CBaseRSA rsa_;
};

TEST_F(RsaEngine, LoadsKeyFileMadeByTheCommandLineTool) {
    std::string fp;
    ASSERT_EQ(rsa_.LoadKeyFile(Hex(*keyFile_).c_str(), "correct horse", fp), 0);
    EXPECT_EQ(fp, *fileFp_);
    EXPECT_EQ(fp.size(), 40u);
    EXPECT_NE(fp, *p8Fp_);

    // The key tool writes the same bytes for the same salt.
    const std::string pem = Slurp(g_dir / "a.pem");
    PkeyPtr key = keytool::ReadPemKey(pem);
    ASSERT_TRUE(key);
    SecureString made;
    ASSERT_EQ(keytool::MakeKeyFile(key.get(), "correct horse",
                                   std::span<const unsigned char, 8>(kSalt.data(), 8), made),
              0);
    EXPECT_EQ(made.view(), *keyFile_);
}

TEST_F(RsaEngine, CrLfKeyFileAndEmptyPasswordLoad) {
    std::string crlf;
    for (char c : *keyFile_) {
        if (c == '\n') crlf += '\r';
        crlf += c;
    }
    std::string fp;
    ASSERT_EQ(rsa_.LoadKeyFile(Hex(crlf).c_str(), "correct horse", fp), 0);
    EXPECT_EQ(fp, *fileFp_);

    const std::string empty = CliKeyFile("b.pem", "", kSalt);
    EXPECT_EQ(rsa_.LoadKeyFile(Hex(empty).c_str(), "", fp), 0);
    EXPECT_NE(fp, *fileFp_);  // key b replaced key a
}

TEST_F(RsaEngine, WrongPasswordGives9AndKeepsThePreviousKey) {
    std::string fp;
    ASSERT_EQ(rsa_.LoadKeyFile(Hex(*keyFile_).c_str(), "correct horse", fp), 0);
    const EVP_PKEY* before = rsa_.Key();
    for (const char* wrong : {"", "Correct horse", "correct horse ", "x", "battery staple"})
        EXPECT_EQ(rsa_.LoadKeyFile(Hex(*keyFile_).c_str(), wrong, fp), code::kWrongPassword)
            << wrong;
    EXPECT_EQ(rsa_.Key(), before);
}

TEST_F(RsaEngine, MalformedKeyFileText) {
    std::string fp;
    const std::string hex = Hex(*keyFile_);
    EXPECT_EQ(rsa_.LoadKeyFile(nullptr, "p", fp), code::kInvalidArgument);
    EXPECT_EQ(rsa_.LoadKeyFile("", "p", fp), code::kInvalidArgument);
    EXPECT_EQ(rsa_.LoadKeyFile(hex.c_str(), nullptr, fp), code::kInvalidArgument);
    EXPECT_EQ(rsa_.LoadKeyFile(hex.substr(1).c_str(), "p", fp), code::kBadKeyMaterial);
    EXPECT_EQ(rsa_.LoadKeyFile(("ZZ" + hex).c_str(), "p", fp), code::kBadKeyMaterial);
    Shell("openssl req -x509 -key a.pem -subj /CN=t -days 1 -out cert.pem");
    EXPECT_EQ(rsa_.LoadKeyFile(Hex(Slurp(g_dir / "cert.pem")).c_str(), "p", fp),
              code::kBadKeyMaterial);
    // A PKCS#8 file given as a key file has no armour either.
    Shell("openssl pkcs8 -topk8 -in a.pem -v2 aes-256-cbc -passout pass:p -outform DER -out x.der");
    EXPECT_EQ(rsa_.LoadKeyFile(Hex(Slurp(g_dir / "x.der")).c_str(), "p", fp),
              code::kBadKeyMaterial);
}

TEST_F(RsaEngine, PayloadLengthChecks) {
    const std::string payload = Slurp(g_dir / "a.payload");
    auto load = [&](std::string p, const char* password = "correct horse") {
        const std::string text =
            ArmourEncode(std::span(reinterpret_cast<const unsigned char*>(p.data()), p.size()), 3);
        std::string fp;
        return rsa_.LoadKeyFile(Hex(text).c_str(), password, fp);
    };
    ASSERT_EQ(load(payload), 0);
    EXPECT_EQ(load(payload + std::string(5000, 'x')), 0);  // bytes after the ciphertext
    EXPECT_EQ(load(payload.substr(0, 11)), code::kBadKeyMaterial);
    // The stored length claims more than follows: refused before decrypting.
    EXPECT_EQ(load(payload.substr(0, payload.size() - 8)), code::kBadKeyMaterial);
    std::string huge = payload;
    huge[11] = '\x7F';
    EXPECT_EQ(load(huge), code::kBadKeyMaterial);
    // Payloads must stay below the working buffer.
    testing::internal::CaptureStderr();
    EXPECT_EQ(load(payload + std::string(kKeyFileBufferSize, 'x')), code::kBadKeyMaterial);
    testing::internal::GetCapturedStderr();
    // A ciphertext that is not whole blocks cannot be decrypted.
    std::string ragged = payload;
    ragged[8] = static_cast<char>(ragged[8] - 1);
    EXPECT_EQ(load(ragged), code::kWrongPassword);
}

TEST_F(RsaEngine, SignaturesVerifyWithTheCommandLineTool) {
    const std::string data(1000, 'q');
    Put(g_dir / "data.bin", data);
    SecureBytes sig;
    ASSERT_EQ(Sign(data, sign_mode::kSha256, sig), 0);
    EXPECT_EQ(sig.size(), 128u);
    Put(g_dir / "sig256", std::string(sig.begin(), sig.end()));
    EXPECT_NE(
        Shell("openssl dgst -sha256 -verify a.pub -signature sig256 data.bin").find("Verified OK"),
        std::string::npos);

    ASSERT_EQ(Sign(data, sign_mode::kSha1, sig), 0);
    Put(g_dir / "sig1", std::string(sig.begin(), sig.end()));
    EXPECT_NE(
        Shell("openssl dgst -sha1 -verify a.pub -signature sig1 data.bin").find("Verified OK"),
        std::string::npos);

    // Mode 5 over the SHA-1 digest equals mode 3 over the data.
    const Bytes digest = Sha1(data);
    SecureBytes sig5;
    ASSERT_EQ(Sign(std::string(digest.begin(), digest.end()), sign_mode::kSha1Digest, sig5), 0);
    EXPECT_EQ(sig5, sig);
    EXPECT_EQ(Sign(std::string(19, 'd'), sign_mode::kSha1Digest, sig5), code::kInvalidArgument);

    // Mode 0: raw type-1 padding; the tool recovers the input.
    ASSERT_EQ(Sign("prepared", sign_mode::kRawPkcs1, sig), 0);
    Put(g_dir / "sig0", std::string(sig.begin(), sig.end()));
    EXPECT_EQ(Shell("openssl pkeyutl -verifyrecover -pubin -inkey a.pub -in sig0"), "prepared");
    EXPECT_EQ(Sign(std::string(118, 'x'), sign_mode::kRawPkcs1, sig), code::kRawRsaFailed);
    EXPECT_TRUE(sig.empty());
}

TEST_F(RsaEngine, DecryptsWhatTheCommandLineToolEncrypted) {
    Put(g_dir / "secret.txt", "challenge 12345");
    Shell("openssl pkeyutl -encrypt -pubin -inkey a.pub -in secret.txt -out secret.enc");
    SecureBytes plain;
    ASSERT_EQ(Sign(Slurp(g_dir / "secret.enc"), sign_mode::kDecrypt, plain), 0);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "challenge 12345");
    // Damaged ciphertext and wrong lengths fail as a raw operation.
    std::string bad = Slurp(g_dir / "secret.enc");
    bad[5] ^= 0x40;
    EXPECT_EQ(Sign(bad, sign_mode::kDecrypt, plain), code::kRawRsaFailed);
    EXPECT_EQ(Sign(bad + "x", sign_mode::kDecrypt, plain), code::kRawRsaFailed);
}

TEST_F(RsaEngine, FingerprintComparisonAndUnknownModes) {
    SecureBytes sig;
    EXPECT_EQ(Sign("d", sign_mode::kSha256, sig, fileFp_->c_str()), 0);
    EXPECT_EQ(Sign("d", sign_mode::kSha256, sig, fileFp_->substr(0, 8).c_str()), 0);
    std::string lower = *fileFp_;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    ASSERT_NE(lower, *fileFp_);
    EXPECT_EQ(Sign("d", sign_mode::kSha256, sig, lower.c_str()), code::kFingerprintMismatch);
    EXPECT_EQ(Sign("d", sign_mode::kSha256, sig, (*fileFp_ + "0").c_str()),
              code::kFingerprintMismatch);
    EXPECT_EQ(Sign("d", sign_mode::kSha256, sig, p8Fp_->c_str()), code::kFingerprintMismatch);
    EXPECT_TRUE(sig.empty());

    for (int mode : {-1, 2, 6, 100}) EXPECT_EQ(Sign("d", mode, sig), code::kInvalidArgument);
    const std::string hex = Hex(*keyFile_);
    for (int format : {key_format::kPgp, 3, -1})
        EXPECT_EQ(rsa_.SignData(hex.c_str(), format, nullptr, "correct horse",
                                reinterpret_cast<const unsigned char*>("d"), 1, sig, 4),
                  code::kInvalidArgument);
    // Wrong password passes through SignData unchanged.
    EXPECT_EQ(rsa_.SignData(hex.c_str(), 0, nullptr, "nope",
                            reinterpret_cast<const unsigned char*>("d"), 1, sig, 4),
              code::kWrongPassword);
}

TEST_F(RsaEngine, Pkcs8FilesOfSeveralAlgorithms) {
    const std::vector<std::string> options = {"-v1 PBE-SHA1-3DES", "-v2 aes-256-cbc",
                                              "-v2 aes-128-cbc -v2prf hmacWithSHA1", "-v2 des3",
                                              "-v2 aes-192-cbc -iter 5000"};
    int i = 0;
    for (const std::string& opt : options) {
        const std::string file = "p8_" + std::to_string(i++) + ".der";
        Shell("openssl pkcs8 -topk8 -in a.pem " + opt + " -passout pass:s3cret -outform DER -out " +
              file);
        const std::string hex = Hex(Slurp(g_dir / file));
        std::string fp;
        EXPECT_EQ(rsa_.LoadPkcs8Key(hex.c_str(), "s3cret", fp), 0) << opt;
        EXPECT_EQ(fp, *p8Fp_) << opt;
        EXPECT_EQ(rsa_.LoadPkcs8Key(hex.c_str(), "wrong", fp), code::kWrongPassword) << opt;

        SecureBytes sig;
        ASSERT_EQ(rsa_.SignData(hex.c_str(), key_format::kPkcs8, p8Fp_->c_str(), "s3cret",
                                reinterpret_cast<const unsigned char*>("order"), 5, sig,
                                sign_mode::kSha256),
                  0);
        Put(g_dir / "p8sig", std::string(sig.begin(), sig.end()));
        Put(g_dir / "order", "order");
        EXPECT_NE(
            Shell("openssl dgst -sha256 -verify a.pub -signature p8sig order").find("Verified OK"),
            std::string::npos);
    }
}

TEST_F(RsaEngine, Pkcs8Failures) {
    std::string fp;
    EXPECT_EQ(rsa_.LoadPkcs8Key(nullptr, "p", fp), code::kInvalidArgument);
    EXPECT_EQ(rsa_.LoadPkcs8Key("ABC", "p", fp), code::kInvalidArgument);
    EXPECT_EQ(rsa_.LoadPkcs8Key("3082", nullptr, fp), code::kInvalidArgument);
    EXPECT_EQ(rsa_.LoadPkcs8Key("30820100", "p", fp), code::kPkcs8Unparsable);
    // A key file given as PKCS#8.
    EXPECT_EQ(rsa_.LoadPkcs8Key(Hex(*keyFile_).c_str(), "p", fp), code::kPkcs8Unparsable);
    // An encrypted EC key is not usable.
    Shell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem");
    Shell(
        "openssl pkcs8 -topk8 -in ec.pem -v2 aes-256-cbc -passout pass:p -outform DER -out "
        "ec.der");
    EXPECT_EQ(rsa_.LoadPkcs8Key(Hex(Slurp(g_dir / "ec.der")).c_str(), "p", fp),
              code::kKindNotUsable);
}

// Files that are no key file at all end at the file or at the engine with their code, at once,
// and nothing is read whole: a huge file is refused by its size, a FIFO or device by its type.
TEST_F(RsaEngine, HostileKeyFilesEndWithTheirCodesWithinASecond) {
    Shell(
        "openssl pkcs8 -topk8 -in a.pem -v2 aes-256-cbc -passout pass:p -outform DER -out k8.der");
    Put(g_dir / "k1.prv", *keyFile_);
    const std::string der = Slurp(g_dir / "k8.der");
    Put(g_dir / "half1.prv", keyFile_->substr(0, keyFile_->size() / 2));
    Put(g_dir / "half8.der", der.substr(0, der.size() / 2));
    Put(g_dir / "zeros", std::string(kMaxKeyFileSize, '\0'));
    fs::create_symlink("/dev/zero", g_dir / "zero-link");
    ASSERT_EQ(mkfifo((g_dir / "pipe").c_str(), 0600), 0);
    {
        std::ofstream(g_dir / "huge", std::ios::binary) << *keyFile_;
        fs::resize_file(g_dir / "huge", 400ull * 1024 * 1024);  // sparse
    }
    struct Case {
        const char* file;
        int readCode;                // of the file
        int keyFileCode, pkcs8Code;  // of the engine, when the file was read
    };
    const Case cases[] = {
        {"huge", code::kOutOfMemory, 0, 0},
        {"zero-link", code::kKeyFileOpen, 0, 0},
        {"pipe", code::kKeyFileOpen, 0, 0},
        {"zeros", 0, code::kBadKeyMaterial, code::kPkcs8Unparsable},
        {"half1.prv", 0, code::kBadKeyMaterial, code::kPkcs8Unparsable},
        {"half8.der", 0, code::kBadKeyMaterial, code::kPkcs8Unparsable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto start = std::chrono::steady_clock::now();
        SecureString hex;
        ASSERT_EQ(ReadKeyFile((g_dir / c.file).c_str(), hex), c.readCode);
        if (c.readCode == 0) {
            std::string fp;
            EXPECT_EQ(rsa_.LoadKeyFile(hex.c_str(), "correct horse", fp), c.keyFileCode);
            EXPECT_EQ(rsa_.LoadPkcs8Key(hex.c_str(), "p", fp), c.pkcs8Code);
        } else {
            EXPECT_TRUE(hex.empty());
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    // The whole files load, so the cut ones fail for being cut.
    for (const auto& [file, pkcs8] : {std::pair{"k1.prv", false}, std::pair{"k8.der", true}}) {
        SecureString hex;
        ASSERT_EQ(ReadKeyFile((g_dir / file).c_str(), hex), 0);
        std::string fp;
        EXPECT_EQ(pkcs8 ? rsa_.LoadPkcs8Key(hex.c_str(), "p", fp)
                        : rsa_.LoadKeyFile(hex.c_str(), "correct horse", fp),
                  0)
            << file;
    }
}

TEST(PublicKeyBlob, LayoutIsLittleEndianLengths) {
    const Bytes n = {0xC0, 0x01}, e = {0x01, 0x00, 0x01};
    EXPECT_EQ(HexEncode(MakePublicKeyBlob(n, e)), "02000000C00103000000010001");
}

}  // namespace
}  // namespace vq
