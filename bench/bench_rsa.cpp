// Key-file loading and signing, and armour decoding, against the same work done directly with
// OpenSSL primitives in the same run. Prints the ratios at the end.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "crypto/base_rsa.h"
#include "storage/armour.h"
#include "storage/hex_text.h"

namespace {

constexpr const char* kPassword = "bench password";

struct Fixture {
    std::string keyHex;                  // key-file text as hex, as the engine receives it
    std::vector<unsigned char> payload;  // salt, length, ciphertext
    std::string fingerprint;
    std::vector<unsigned char> data = std::vector<unsigned char>(1024, 0x42);
    std::vector<unsigned char> plain16k = std::vector<unsigned char>(16384);
    std::string armoured16k;
    std::string base64_16k;

    Fixture() {
        EVP_PKEY* key = EVP_RSA_gen(1024);
        unsigned char* der = nullptr;
        const int derLength = i2d_PrivateKey(key, &der);
        unsigned char salt[8];
        RAND_bytes(salt, 8);
        vq::SecureBytes k, iv;
        vq::DeriveKeyFileKey(std::span<const unsigned char, 8>(salt), kPassword, k, iv);
        std::vector<unsigned char> ct(static_cast<std::size_t>(derLength) + 8);
        int n1 = 0, n2 = 0;
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_EncryptInit_ex(c, EVP_des_ede3_cbc(), nullptr, k.data(), iv.data());
        EVP_EncryptUpdate(c, ct.data(), &n1, der, derLength);
        EVP_EncryptFinal_ex(c, ct.data() + n1, &n2);
        EVP_CIPHER_CTX_free(c);
        ct.resize(static_cast<std::size_t>(n1 + n2));
        payload.assign(salt, salt + 8);
        for (int i = 0; i < 4; ++i)
            payload.push_back(static_cast<unsigned char>(ct.size() >> (8 * i)));
        payload.insert(payload.end(), ct.begin(), ct.end());
        keyHex = vq::HexEncode(vq::ArmourEncode(payload, vq::armour::kData));
        fingerprint = vq::FileFingerprint(key);
        OPENSSL_clear_free(der, static_cast<std::size_t>(derLength));
        EVP_PKEY_free(key);

        RAND_bytes(plain16k.data(), static_cast<int>(plain16k.size()));
        armoured16k = vq::ArmourEncode(plain16k, vq::armour::kData);
        base64_16k.resize(4 * plain16k.size() / 3 + 4);
        base64_16k.resize(static_cast<std::size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64_16k.data()), plain16k.data(),
                            static_cast<int>(plain16k.size()))));
    }
};

Fixture& F() {
    static Fixture f;
    return f;
}

void BM_EngineLoadAndSign(benchmark::State& state) {
    vq::CBaseRSA rsa;
    vq::SecureBytes sig;
    for (auto _ : state) {
        const int rc =
            rsa.SignData(F().keyHex.c_str(), vq::key_format::kKeyFile, F().fingerprint.c_str(),
                         kPassword, F().data.data(), F().data.size(), sig, vq::sign_mode::kSha256);
        if (rc != 0) state.SkipWithError("SignData failed");
        benchmark::DoNotOptimize(sig.data());
    }
}
BENCHMARK(BM_EngineLoadAndSign);

void BM_OpenSslLoadAndSign(benchmark::State& state) {
    const auto& p = F().payload;
    for (auto _ : state) {
        unsigned char salt[8];
        for (int i = 0; i < 8; ++i) salt[i] = p[i] ^ vq::kKeyFileSaltMask[i];
        unsigned char key[24], iv[8];
        PKCS12_key_gen_asc(kPassword, -1, salt, 8, PKCS12_KEY_ID, 1024, 24, key, EVP_sha1());
        PKCS12_key_gen_asc(kPassword, -1, salt, 8, PKCS12_IV_ID, 1024, 8, iv, EVP_sha1());
        const int len = p[8] | p[9] << 8 | p[10] << 16 | p[11] << 24;
        std::vector<unsigned char> plain(static_cast<std::size_t>(len) + 8);
        int n1 = 0, n2 = 0;
        EVP_CIPHER_CTX* c = EVP_CIPHER_CTX_new();
        EVP_DecryptInit_ex(c, EVP_des_ede3_cbc(), nullptr, key, iv);
        EVP_DecryptUpdate(c, plain.data(), &n1, p.data() + 12, len);
        EVP_DecryptFinal_ex(c, plain.data() + n1, &n2);
        EVP_CIPHER_CTX_free(c);
        const unsigned char* q = plain.data();
        EVP_PKEY* pkey = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &q, n1 + n2);
        unsigned char sig[512];
        std::size_t sigLength = sizeof sig;
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        EVP_PKEY_CTX* pctx = nullptr;
        EVP_DigestSignInit(md, &pctx, EVP_sha256(), nullptr, pkey);
        EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PADDING);
        if (EVP_DigestSign(md, sig, &sigLength, F().data.data(), F().data.size()) != 1)
            state.SkipWithError("sign failed");
        EVP_MD_CTX_free(md);
        EVP_PKEY_free(pkey);
        OPENSSL_cleanse(plain.data(), plain.size());
        benchmark::DoNotOptimize(sig);
    }
}
BENCHMARK(BM_OpenSslLoadAndSign);

void BM_ArmourDecode16k(benchmark::State& state) {
    std::vector<unsigned char> out(16384 + 64);
    for (auto _ : state) {
        std::size_t length = out.size();
        vq::ArmourDecode(F().armoured16k.data(), F().armoured16k.size(), out.data(), &length,
                         vq::armour::kData);
        if (length != 16384) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16384);
}
BENCHMARK(BM_ArmourDecode16k);

void BM_EvpDecodeBlock16k(benchmark::State& state) {
    std::vector<unsigned char> out(16384 + 64);
    for (auto _ : state) {
        const int n = EVP_DecodeBlock(out.data(),
                                      reinterpret_cast<const unsigned char*>(F().base64_16k.data()),
                                      static_cast<int>(F().base64_16k.size()));
        if (n < 16384) state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 16384);
}
BENCHMARK(BM_EvpDecodeBlock16k);

// Console output plus the ratio of each engine benchmark to its baseline, in CPU time (the
// machine is shared, so wall time carries other processes' load).
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs)
            if (r.run_type == Run::RT_Iteration) time_[r.benchmark_name()] = r.GetAdjustedCPUTime();
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto t = [&](const char* n) { return time_.count(n) ? time_[n] : 0.0; };
        if (t("BM_OpenSslLoadAndSign") > 0 && t("BM_EngineLoadAndSign") > 0)
            std::printf("ratio load+sign engine/OpenSSL: %.3f (goal <= 1.10)\n",
                        t("BM_EngineLoadAndSign") / t("BM_OpenSslLoadAndSign"));
        if (t("BM_ArmourDecode16k") > 0 && t("BM_EvpDecodeBlock16k") > 0)
            std::printf("ratio armour decode / EVP_DecodeBlock: %.3f (goal <= 1.00)\n",
                        t("BM_ArmourDecode16k") / t("BM_EvpDecodeBlock16k"));
    }

  private:
    std::map<std::string, double> time_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    F();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
