// The key tool as a user runs it: its files load in the engine and in the openssl tool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/base_rsa.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

class KeyTool : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vq_keytool_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(Exec("openssl genrsa -out k.pem 1024", out_), 0);
    }
    void TearDown() override { fs::remove_all(dir_); }

    int Exec(const std::string& cmd, std::string& out) {
        const std::string full = "cd '" + dir_.string() + "' && " + cmd + " 2>/dev/null";
        FILE* p = popen(full.c_str(), "r");
        out.clear();
        char buf[512];
        std::size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        return pclose(p);
    }
    std::string Tool(const std::string& args, int expect = 0) {
        std::string out;
        EXPECT_EQ(
            Exec(std::string(VQ_BINARY_DIR) + "/hosts/keytool/veriquill-keytool " + args, out) != 0,
            expect != 0)
            << args;
        if (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    std::string Slurp(const std::string& name) {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
    std::string out_;
};

TEST_F(KeyTool, KeyFileLoadsInTheEngine) {
    std::ofstream(dir_ / "pw") << "pass word\r\n";  // CR LF is not part of the password
    const std::string fp = Tool("fingerprint k.pem");
    EXPECT_EQ(fp.size(), 40u);
    EXPECT_EQ(Tool("create k.pem k.prv < pw"), fp);
    EXPECT_EQ(fs::status(dir_ / "k.prv").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Slurp("k.prv").rfind("-----BEGIN DATA-----\n", 0), 0u);
    // Never overwrites an existing file.
    Tool("create k.pem k.prv < pw", 1);

    const std::string keyData = Tool("keydata k.prv");
    EXPECT_EQ(keyData, HexEncode(Slurp("k.prv")));
    CBaseRSA rsa;
    std::string loaded;
    ASSERT_EQ(rsa.LoadKeyFile(keyData.c_str(), "pass word", loaded), 0);
    EXPECT_EQ(loaded, fp);
    EXPECT_EQ(rsa.LoadKeyFile(keyData.c_str(), "other", loaded), 9);
}

// The tool's arguments are the system's own file names: any name works, even one the
// component's code page could not hold.
TEST_F(KeyTool, KeyDataReadsFilesUnderAnyName) {
    std::ofstream(dir_ / "pw") << "pw\n";
    Tool("create k.pem 'm\u00f3j \u041a\u043b\u044e\u0447.prv' < pw");
    EXPECT_EQ(Tool("keydata 'm\u00f3j \u041a\u043b\u044e\u0447.prv'"),
              HexEncode(Slurp("m\u00f3j \u041a\u043b\u044e\u0447.prv")));
    EXPECT_FALSE(Slurp("m\u00f3j \u041a\u043b\u044e\u0447.prv").empty());
    Tool("keydata missing.prv", 1);
}

TEST_F(KeyTool, Pkcs8PublicKeyAndBlob) {
    std::ofstream(dir_ / "pw") << "pw8\n";
    const std::string fp8 = Tool("fingerprint --pkcs8 k.pem");
    EXPECT_EQ(Tool("pkcs8 k.pem old.der --cipher pbe-sha1-3des --password-file pw"), fp8);
    EXPECT_EQ(Tool("pkcs8 k.pem new.der --password-file pw"), fp8);
    Tool("pkcs8 k.pem bad.der --cipher no-such-cipher --password-file pw", 1);
    EXPECT_FALSE(fs::exists(dir_ / "bad.der"));
    std::string out;
    for (const char* f : {"old.der", "new.der"}) {
        EXPECT_EQ(Exec(std::string("openssl pkcs8 -inform DER -in ") + f +
                           " -passin pass:pw8 -out /dev/null",
                       out),
                  0);
        CBaseRSA rsa;
        std::string loaded;
        EXPECT_EQ(rsa.LoadPkcs8Key(HexEncode(Slurp(f)).c_str(), "pw8", loaded), 0);
        EXPECT_EQ(loaded, fp8);
    }

    Tool("public k.pem k.pub");
    ASSERT_EQ(Exec("openssl rsa -pubin -in k.pub -noout -modulus", out), 0);
    const std::string modulus = out.substr(out.find('=') + 1, 256);
    // Blob: length 128 little-endian, the modulus, length 3, 65537.
    EXPECT_EQ(Tool("blob k.pem"), "80000000" + modulus + "03000000010001");

    Tool("fingerprint missing.pem", 1);
    Tool("frobnicate k.pem", 1);
}

}  // namespace
}  // namespace vq
