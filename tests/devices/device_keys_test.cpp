// Key operations on SoftHSM2 (the real module), checked with tools we did not write: OpenSSL's
// command line for signatures and moduli, pkcs11-tool for the objects' labels and ids.
#include <gtest/gtest.h>

#include <regex>

#include "devices/psa.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "tests/fakes/test_env.h"

namespace vq {
namespace {

using testing::DeviceEnv;
using testing::RunCommand;

class ScriptedRemoval : public IKeyRemovalChooser {
  public:
    struct Object {
        std::string label, fingerprint;
        bool isPrivate;
        CK_OBJECT_HANDLE handle;
        bool chosen = false;
    };
    bool ok = true;
    std::vector<std::string> remove;  // fingerprints to choose
    std::vector<Object> objects;
    void AddKey(const std::string& label, const std::string& fingerprint, bool isPrivate,
                CK_OBJECT_HANDLE handle) override {
        objects.push_back({label, fingerprint, isPrivate, handle});
    }
    bool Run() override {
        for (auto& o : objects)
            o.chosen = std::find(remove.begin(), remove.end(), o.fingerprint) != remove.end();
        return ok;
    }
    bool chosen(int i) const override { return i < int(objects.size()) && objects[i].chosen; }
    CK_OBJECT_HANDLE handle(int i) const override { return objects.at(i).handle; }
    std::string fingerprint(int i) const override { return objects.at(i).fingerprint; }
};

class DeviceKeys : public ::testing::Test {
  protected:
    void SetUp() override {
        env.MapLibrary("pkcs11.dll", testing::kSoftHsm);
        int status = 0;
        const std::string out =
            RunCommand(std::string("softhsm2-util --init-token --free --label keys --pin ") +
                           testing::kUserPin + " --so-pin " + testing::kSoPin,
                       &status);
        ASSERT_EQ(status, 0) << out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(out, m, std::regex("slot ([0-9]+)"))) << out;
        slot = std::stoul(m[1]);
        ASSERT_EQ(psa.OpenDevice("pkcs11.dll", slot, nullptr), code::kOk);
        ASSERT_EQ(psa.ReadTokenState(), code::kOk);
        ASSERT_EQ(psa.LoginUser(&pin), code::kOk);
    }
    void TearDown() override {
        psa.CloseSession();
        psa.UnloadModule();
    }
    std::string Generate(const std::string& label, int bits = 1024) {
        std::string blob, print;
        EXPECT_EQ(psa.GenerateDeviceKeyPair(label.c_str(), bits, blob, print), code::kOk);
        return print;
    }
    // The public key as PEM, read back from the token by pkcs11-tool and converted by OpenSSL.
    std::string ExportPublicKey(const std::string& label) {
        int status = 0;
        std::string out = env.Pkcs11Tool(
            "--read-object --type pubkey --label " + label + " -o " + env.Path(label + ".der"),
            &status);
        EXPECT_EQ(status, 0) << out;
        out = RunCommand("openssl pkey -pubin -inform DER -in " + env.Path(label + ".der") +
                             " -out " + env.Path(label + ".pem"),
                         &status);
        EXPECT_EQ(status, 0) << out;
        return env.Path(label + ".pem");
    }
    void WriteBytes(const std::string& name, const unsigned char* data, std::size_t n) {
        env.Write(name, std::string(reinterpret_cast<const char*>(data), n));
    }

    DeviceEnv env;
    CPSA psa;
    CK_SLOT_ID slot = 0;
    SecureString pin{testing::kUserPin};
};

TEST_F(DeviceKeys, GeneratedKeyIsLabelledAnd1024BitsWhateverTheSize) {
    std::string blob, print;
    ASSERT_EQ(psa.GenerateDeviceKeyPair("bank-key", 2048, blob, print), code::kOk);
    ASSERT_EQ(print.size(), 40u);
    // Blob: 80 00 00 00, 128 bytes of modulus, 03 00 00 00, 01 00 01.
    ASSERT_EQ(blob.size(), 2u * (4 + 128 + 4 + 3));
    EXPECT_EQ(blob.substr(0, 8), "80000000");
    EXPECT_EQ(blob.substr(8 + 256), "03000000010001");

    const std::string pem = ExportPublicKey("bank-key");
    int status = 0;
    const std::string text =
        RunCommand("openssl rsa -pubin -in " + pem + " -noout -text -modulus", &status);
    EXPECT_NE(text.find("(1024 bit)"), std::string::npos) << text;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(text, m, std::regex("Modulus=([0-9A-F]+)")));
    EXPECT_EQ(m[1].str(), blob.substr(8, 256));
    // Fingerprint: SHA-1 over the modulus and 01 00 01, computed by OpenSSL's command line.
    std::string digest =
        RunCommand("printf '%s010001' " + m[1].str() + " | xxd -r -p | openssl dgst -sha1 -r");
    digest = digest.substr(0, 40);
    for (auto& c : digest) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(print, digest);

    // CKA_ID holds the 20 raw fingerprint bytes on both objects.
    std::string lower = print;
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string objects =
        env.Pkcs11Tool(std::string("--login --pin ") + testing::kUserPin + " --list-objects");
    std::size_t count = 0;
    for (std::size_t p = 0; (p = objects.find("ID:         " + lower, p)) != std::string::npos; ++p)
        ++count;
    EXPECT_EQ(count, 2u) << objects;
    EXPECT_NE(objects.find("label:      bank-key"), std::string::npos);
}

TEST_F(DeviceKeys, GenerationRefusesTakenLabelAndOddSizes) {
    std::string blob, print;
    EXPECT_EQ(psa.GenerateDeviceKeyPair("k", 4096, blob, print), code::kBadKeySize);
    EXPECT_EQ(psa.GenerateDeviceKeyPair("k", 0, blob, print), code::kBadKeySize);
    EXPECT_EQ(psa.GenerateDeviceKeyPair(nullptr, 1024, blob, print), code::kInvalidArgument);
    ASSERT_EQ(psa.GenerateDeviceKeyPair("k", 512, blob, print), code::kOk);
    EXPECT_EQ(psa.GenerateDeviceKeyPair("k", 1024, blob, print), code::kKeyExistsOnDevice);
    EXPECT_TRUE(blob.empty());
}

TEST_F(DeviceKeys, FindKeyChecksLabelCountAndFingerprint) {
    const std::string print = Generate("mine");
    CK_OBJECT_HANDLE key = 0;
    CK_ULONG length = 0;
    ASSERT_EQ(psa.FindKey("mine", print.c_str(), true, &key, &length), code::kOk);
    EXPECT_NE(key, 0u);
    EXPECT_EQ(length, 128u);
    const std::string other(40, 'A');
    EXPECT_EQ(psa.FindKey("mine", other.c_str(), true, &key, &length), code::kDeviceKeyMismatch);
    EXPECT_EQ(key, 0u);
    EXPECT_EQ(psa.FindKey("mine", nullptr, false, &key, &length), code::kOk);
    EXPECT_EQ(psa.FindKey("min", nullptr, false, &key, &length), code::kKeyNotOnCard);
    EXPECT_EQ(psa.FindKey(nullptr, nullptr, false, &key, &length), code::kInvalidArgument);

    // Two pairs under one label (made with pkcs11-tool).
    for (int i = 0; i < 2; ++i) {
        int status = 0;
        const std::string out = env.Pkcs11Tool(std::string("--login --pin ") + testing::kUserPin +
                                                   " --keypairgen --key-type rsa:1024 --label twin",
                                               &status);
        ASSERT_EQ(status, 0) << out;
    }
    EXPECT_EQ(psa.FindKey("twin", nullptr, false, &key, &length), code::kKeyExistsOnDevice);
}

TEST_F(DeviceKeys, SignsAndDecryptsInEveryMode) {
    const std::string print = Generate("signer");
    const std::string pem = ExportPublicKey("signer");
    const std::string order = "Payment order: 100.00 PLN to 12 3456";
    const auto* data = reinterpret_cast<const unsigned char*>(order.data());
    env.Write("order", order);
    SecureBytes sig;
    int status = 0;

    ASSERT_EQ(psa.DeviceSign("signer", print.c_str(), &pin, data, order.size(), kSignSha256, sig),
              code::kOk);
    ASSERT_EQ(sig.size(), 128u);
    WriteBytes("sig256", sig.data(), sig.size());
    std::string out = RunCommand("openssl dgst -sha256 -verify " + pem + " -signature " +
                                     env.Path("sig256") + " " + env.Path("order"),
                                 &status);
    EXPECT_EQ(status, 0) << out;

    ASSERT_EQ(psa.DeviceSign("signer", print.c_str(), &pin, data, order.size(), kSignSha1, sig),
              code::kOk);
    WriteBytes("sig1", sig.data(), sig.size());
    out = RunCommand("openssl dgst -sha1 -verify " + pem + " -signature " + env.Path("sig1") + " " +
                         env.Path("order"),
                     &status);
    EXPECT_EQ(status, 0) << out;

    // Mode 5: a given SHA-1 digest block is signed unchanged; mode 0 likewise any block.
    for (int mode : {kSignDigest, kSignRaw}) {
        ASSERT_EQ(psa.DeviceSign("signer", print.c_str(), &pin, data, 20, mode, sig), code::kOk);
        WriteBytes("raw", sig.data(), sig.size());
        out = RunCommand(
            "openssl pkeyutl -verifyrecover -pubin -inkey " + pem + " -in " + env.Path("raw"),
            &status);
        EXPECT_EQ(status, 0);
        EXPECT_EQ(out, order.substr(0, 20)) << "mode " << mode;
    }

    // Mode 1 decrypts what OpenSSL encrypted to the public key.
    env.Write("secret", "challenge-0123456789");
    out = RunCommand("openssl pkeyutl -encrypt -pubin -inkey " + pem + " -in " +
                         env.Path("secret") + " -out " + env.Path("ct"),
                     &status);
    ASSERT_EQ(status, 0) << out;
    const std::string ct = env.Read("ct");
    ASSERT_EQ(psa.DeviceSign("signer", print.c_str(), &pin,
                             reinterpret_cast<const unsigned char*>(ct.data()), ct.size(),
                             kSignDecrypt, sig),
              code::kOk);
    EXPECT_EQ(std::string(sig.begin(), sig.end()), "challenge-0123456789");

    EXPECT_EQ(psa.DeviceSign("signer", print.c_str(), &pin, data, order.size(), 2, sig),
              code::kInvalidArgument);
    EXPECT_EQ(psa.DeviceSign("signer", std::string(40, '0').c_str(), &pin, data, order.size(),
                             kSignSha256, sig),
              code::kDeviceKeyMismatch);
    EXPECT_EQ(psa.DeviceSign("nobody", print.c_str(), &pin, data, order.size(), kSignSha256, sig),
              code::kKeyNotOnCard);
    // The session is logged in already: a wrong PIN is still checked, not waved through.
    const SecureString wrongPin("9999");
    EXPECT_EQ(
        psa.DeviceSign("signer", print.c_str(), &wrongPin, data, order.size(), kSignSha256, sig),
        code::kWrongPin);
    const SecureString shortPin("12");
    EXPECT_EQ(
        psa.DeviceSign("signer", print.c_str(), &shortPin, data, order.size(), kSignSha256, sig),
        code::kPinNotAcceptable);
    EXPECT_TRUE(sig.empty());
}

TEST_F(DeviceKeys, ListKeysPrefixAndQuotedFingerprints) {
    std::string list;
    ASSERT_EQ(psa.ListKeys(list), code::kOk);
    EXPECT_EQ(list, "ProtectorCard|");
    const std::string a = Generate("a");
    const std::string b = Generate("b");
    ASSERT_EQ(psa.ListKeys(list), code::kOk);
    // Object order is the module's: accept either order, but the shape is exact.
    EXPECT_TRUE(list == "ProtectorCard|\"" + a + "\"-\"" + b + "\"" ||
                list == "ProtectorCard|\"" + b + "\"-\"" + a + "\"")
        << list;
    psa.setModuleKind(5);
    ASSERT_EQ(psa.ListKeys(list), code::kOk);
    EXPECT_EQ(list.rfind("UnknownCard|\"", 0), 0u);
}

TEST_F(DeviceKeys, ListKeysStopsAtWholeFingerprintsWithin1023) {
    for (int i = 0; i < 24; ++i) Generate("k" + std::to_string(i), 512);
    std::string list;
    ASSERT_EQ(psa.ListKeys(list), code::kOk);
    EXPECT_LE(list.size(), CPSA::kMaxKeyList);
    // "ProtectorCard|" + 23 quoted fingerprints joined by dashes.
    EXPECT_EQ(list.size(), 14u + 42u + 22u * 43u);
    EXPECT_EQ(list.back(), '"');
}

TEST_F(DeviceKeys, RemoveReportsAPairOnce) {
    const std::string a = Generate("pair-a");
    const std::string b = Generate("pair-b");
    ScriptedRemoval removal;
    removal.remove = {a};
    std::string removed;
    ASSERT_EQ(psa.RemoveDeviceKeys(removal, removed), code::kOk);
    EXPECT_EQ(removed, "|" + a);
    ASSERT_EQ(removal.objects.size(), 4u);
    int privates = 0;
    for (const auto& o : removal.objects) privates += o.isPrivate;
    EXPECT_EQ(privates, 2);
    std::string list;
    ASSERT_EQ(psa.ListKeys(list), code::kOk);
    EXPECT_EQ(list, "ProtectorCard|\"" + b + "\"");

    ScriptedRemoval cancel;
    cancel.ok = false;
    cancel.remove = {b};
    EXPECT_EQ(psa.RemoveDeviceKeys(cancel, removed), code::kCancelled);
    ASSERT_EQ(psa.ListKeys(list), code::kOk);
    EXPECT_EQ(list, "ProtectorCard|\"" + b + "\"");

    ScriptedRemoval all;
    all.remove = {b};
    ASSERT_EQ(psa.RemoveDeviceKeys(all, removed), code::kOk);
    ScriptedRemoval none;
    EXPECT_EQ(psa.RemoveDeviceKeys(none, removed), code::kNoKeyObjects);
}

}  // namespace
}  // namespace vq
