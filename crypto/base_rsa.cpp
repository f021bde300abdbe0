#include "crypto/base_rsa.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/objects.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <string_view>

#include "storage/armour.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

template <class T, void (*F)(T*)>
struct Deleter {
    void operator()(T* p) const { F(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>>;
using CipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX, EVP_CIPHER_CTX_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;
using DecoderCtxPtr =
    std::unique_ptr<OSSL_DECODER_CTX, Deleter<OSSL_DECODER_CTX, OSSL_DECODER_CTX_free>>;
using SigPtr = std::unique_ptr<X509_SIG, Deleter<X509_SIG, X509_SIG_free>>;
using P8InfoPtr =
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, Deleter<PKCS8_PRIV_KEY_INFO, PKCS8_PRIV_KEY_INFO_free>>;
using PbeParamPtr = std::unique_ptr<PBEPARAM, Deleter<PBEPARAM, PBEPARAM_free>>;
using Pbe2ParamPtr = std::unique_ptr<PBE2PARAM, Deleter<PBE2PARAM, PBE2PARAM_free>>;
using Pbkdf2ParamPtr = std::unique_ptr<PBKDF2PARAM, Deleter<PBKDF2PARAM, PBKDF2PARAM_free>>;
using ScryptParamPtr = std::unique_ptr<SCRYPT_PARAMS, Deleter<SCRYPT_PARAMS, SCRYPT_PARAMS_free>>;

constexpr std::size_t kKeySize = 24;
constexpr std::size_t kIvSize = 8;
constexpr std::size_t kHeaderSize = kKeyFileSaltSize + 4;  // salt, ciphertext length

// Minimal big-endian bytes of an RSA component.
std::vector<unsigned char> Component(const EVP_PKEY* key, const char* name) {
    BIGNUM* raw = nullptr;
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA ||
        !EVP_PKEY_get_bn_param(key, name, &raw))
        return {};
    BnPtr bn(raw);
    std::vector<unsigned char> out(static_cast<std::size_t>(BN_num_bytes(bn.get())));
    BN_bn2bin(bn.get(), out.data());
    return out;
}

std::string Fingerprint(const EVP_PKEY* key, bool leadingZero) {
    const auto n = Component(key, OSSL_PKEY_PARAM_RSA_N);
    const auto e = Component(key, OSSL_PKEY_PARAM_RSA_E);
    if (n.empty() || e.empty()) return {};
    using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    static constexpr unsigned char kZero = 0;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) ||
        (leadingZero && !EVP_DigestUpdate(ctx.get(), &kZero, 1)) ||
        !EVP_DigestUpdate(ctx.get(), n.data(), n.size()) ||
        !EVP_DigestUpdate(ctx.get(), e.data(), e.size()) ||
        !EVP_DigestFinal_ex(ctx.get(), md, &mdLength))
        return {};
    return HexEncode(std::span<const unsigned char>(md, mdLength));
}

// PKCS#1 RSAPrivateKey DER -> key; null when the bytes are not one.
PkeyPtr ParseRsaPrivateKey(const unsigned char* der, std::size_t length) {
    EVP_PKEY* raw = nullptr;
    DecoderCtxPtr dctx(OSSL_DECODER_CTX_new_for_pkey(
        &raw, "DER", "type-specific", "RSA", OSSL_KEYMGMT_SELECT_KEYPAIR, nullptr, nullptr));
    if (!dctx) return nullptr;
    const unsigned char* p = der;
    std::size_t left = length;
    if (!OSSL_DECODER_from_data(dctx.get(), &p, &left)) {
        EVP_PKEY_free(raw);
        return nullptr;
    }
    return PkeyPtr(raw);
}

long IntegerOr(const ASN1_INTEGER* i, long fallback) {
    if (!i) return fallback;
    const long v = ASN1_INTEGER_get(i);
    return v < 0 ? LONG_MAX : v;  // -1 means "does not fit"
}

// Rejects password-based encryption whose cost would stall the caller.
bool AcceptableCost(const X509_SIG* sig) {
    const X509_ALGOR* alg = nullptr;
    X509_SIG_get0(sig, &alg, nullptr);
    if (!alg) return false;
    const ASN1_OBJECT* oid = nullptr;
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(&oid, &ptype, &pval, alg);
    if (ptype != V_ASN1_SEQUENCE) return true;  // not a parameter set we know; OpenSSL decides
    const ASN1_TYPE* param = alg->parameter;
    if (OBJ_obj2nid(oid) != NID_pbes2) {
        PbeParamPtr pbe(
            static_cast<PBEPARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBEPARAM), param)));
        return !pbe || IntegerOr(pbe->iter, 1) <= kMaxPkcs8Iterations;
    }
    Pbe2ParamPtr pbe2(
        static_cast<PBE2PARAM*>(ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBE2PARAM), param)));
    if (!pbe2 || !pbe2->keyfunc) return true;
    const int kdf = OBJ_obj2nid(pbe2->keyfunc->algorithm);
    if (kdf == NID_id_pbkdf2) {
        Pbkdf2ParamPtr kp(static_cast<PBKDF2PARAM*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(PBKDF2PARAM), pbe2->keyfunc->parameter)));
        return !kp || IntegerOr(kp->iter, 1) <= kMaxPkcs8Iterations;
    }
    if (kdf == NID_id_scrypt) {
        ScryptParamPtr sp(static_cast<SCRYPT_PARAMS*>(
            ASN1_TYPE_unpack_sequence(ASN1_ITEM_rptr(SCRYPT_PARAMS), pbe2->keyfunc->parameter)));
        if (!sp) return true;
        const long n = IntegerOr(sp->costParameter, 1);
        const long r = IntegerOr(sp->blockSize, 1);
        const long p = IntegerOr(sp->parallelizationParameter, 1);
        // Work grows with N * r * p; OpenSSL's memory limit alone leaves p unbounded.
        constexpr long kLimit = 1L << 24;
        return n <= kLimit && r <= kLimit && p <= kLimit && n * r <= kLimit &&
               n * r * p <= kLimit * 8;
    }
    return true;
}

}  // namespace

int DeriveKeyFileKey(std::span<const unsigned char, kKeyFileSaltSize> storedSalt,
                     const char* password, SecureBytes& key, SecureBytes& iv) {
    if (!password) return code::kInvalidArgument;
    unsigned char salt[kKeyFileSaltSize];
    for (std::size_t i = 0; i < kKeyFileSaltSize; ++i)
        salt[i] = static_cast<unsigned char>(storedSalt[i] ^ kKeyFileSaltMask[i]);
    key.assign(kKeySize, 0);
    iv.assign(kIvSize, 0);
    if (!PKCS12_key_gen_asc(password, -1, salt, sizeof salt, PKCS12_KEY_ID, kKeyFileIterations,
                            static_cast<int>(kKeySize), key.data(), EVP_sha1()) ||
        !PKCS12_key_gen_asc(password, -1, salt, sizeof salt, PKCS12_IV_ID, kKeyFileIterations,
                            static_cast<int>(kIvSize), iv.data(), EVP_sha1())) {
        key.assign(kKeySize, 0);
        iv.assign(kIvSize, 0);
        return code::kKeyDerivationFailed;
    }
    return code::kOk;
}

std::string FileFingerprint(const EVP_PKEY* key) {
    return Fingerprint(key, false);
}
std::string Pkcs8Fingerprint(const EVP_PKEY* key) {
    return Fingerprint(key, true);
}

std::vector<unsigned char> MakePublicKeyBlob(std::span<const unsigned char> modulus,
                                             std::span<const unsigned char> exponent) {
    std::vector<unsigned char> blob(8 + modulus.size() + exponent.size());
    std::size_t at = 0;
    auto put = [&blob, &at](std::span<const unsigned char> v) {
        const auto n = static_cast<std::uint32_t>(v.size());
        for (int i = 0; i < 4; ++i) blob[at++] = static_cast<unsigned char>(n >> (8 * i));
        if (!v.empty()) std::memcpy(blob.data() + at, v.data(), v.size());
        at += v.size();
    };
    put(modulus);
    put(exponent);
    return blob;
}

std::vector<unsigned char> PublicKeyBlob(const EVP_PKEY* key) {
    const auto n = Component(key, OSSL_PKEY_PARAM_RSA_N);
    const auto e = Component(key, OSSL_PKEY_PARAM_RSA_E);
    if (n.empty() || e.empty()) return {};
    return MakePublicKeyBlob(n, e);
}

CBaseRSA::CBaseRSA() {
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS |
                            OPENSSL_INIT_ADD_ALL_DIGESTS,
                        nullptr);
}

CBaseRSA::~CBaseRSA() = default;

int CBaseRSA::LoadKeyFile(const char* keyHex, const char* password, std::string& fingerprint) {
    if (!keyHex || !*keyHex || !password) return code::kInvalidArgument;
    if (payload_.empty()) {
        payload_.assign(kKeyFileBufferSize, 0);
        plain_.assign(kKeyFileBufferSize, 0);
    }

    SecureBytes text;
    if (HexDecode(std::string_view(keyHex), text) != 0) return code::kBadKeyMaterial;

    std::size_t length = payload_.size();
    ArmourDecode(reinterpret_cast<const char*>(text.data()), text.size(), payload_.data(), &length,
                 armour::kData);
    if (length == payload_.size()) return code::kBadKeyMaterial;

    // A payload too short for its header, or whose stored length exceeds the bytes that follow,
    // is a damaged file rather than a wrong password.
    if (length < kHeaderSize) return code::kBadKeyMaterial;
    const unsigned char* p = payload_.data();
    const std::uint32_t ctLength =
        static_cast<std::uint32_t>(p[8]) | static_cast<std::uint32_t>(p[9]) << 8 |
        static_cast<std::uint32_t>(p[10]) << 16 | static_cast<std::uint32_t>(p[11]) << 24;
    if (ctLength > length - kHeaderSize) return code::kBadKeyMaterial;

    SecureBytes key, iv;
    if (int rc = DeriveKeyFileKey(std::span<const unsigned char, kKeyFileSaltSize>(p, 8), password,
                                  key, iv);
        rc != 0)
        return rc;

    CipherCtxPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return code::kOutOfMemory;
    if (!EVP_DecryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, key.data(), iv.data())) {
        ERR_clear_error();
        return code::kCipherSetup506;
    }
    int out1 = 0, out2 = 0;
    // plain_ holds the ciphertext length plus one block: the payload bound leaves room.
    const bool decrypted = EVP_DecryptUpdate(ctx.get(), plain_.data(), &out1, p + kHeaderSize,
                                             static_cast<int>(ctLength)) &&
                           EVP_DecryptFinal_ex(ctx.get(), plain_.data() + out1, &out2);
    PkeyPtr loaded;
    if (decrypted)
        loaded = ParseRsaPrivateKey(plain_.data(), static_cast<std::size_t>(out1 + out2));
    OPENSSL_cleanse(plain_.data(), plain_.size());
    ERR_clear_error();
    if (!loaded) return code::kWrongPassword;

    std::string fp = FileFingerprint(loaded.get());
    if (fp.empty()) return code::kWrongPassword;
    key_ = std::move(loaded);
    fingerprint = std::move(fp);
    return code::kOk;
}

int CBaseRSA::LoadPkcs8Key(const char* derHex, const char* password, std::string& fingerprint) {
    if (!derHex || !*derHex || !password) return code::kInvalidArgument;
    SecureBytes der;
    if (HexDecode(std::string_view(derHex), der) != 0) return code::kInvalidArgument;

    const unsigned char* p = der.data();
    SigPtr sig(d2i_X509_SIG(nullptr, &p, static_cast<long>(der.size())));
    if (!sig || !AcceptableCost(sig.get())) {
        ERR_clear_error();
        return code::kPkcs8Unparsable;
    }
    P8InfoPtr info(PKCS8_decrypt(sig.get(), password, static_cast<int>(std::strlen(password))));
    if (!info) {
        ERR_clear_error();
        return code::kWrongPassword;
    }
    PkeyPtr loaded(EVP_PKCS82PKEY(info.get()));
    ERR_clear_error();
    if (!loaded || EVP_PKEY_get_base_id(loaded.get()) != EVP_PKEY_RSA) return code::kKindNotUsable;

    std::string fp = Pkcs8Fingerprint(loaded.get());
    if (fp.empty()) return code::kKindNotUsable;
    key_ = std::move(loaded);
    fingerprint = std::move(fp);
    return code::kOk;
}

int CBaseRSA::SignData(const char* keyHex, int keyFormat, const char* expectedFingerprint,
                       const char* password, const unsigned char* in, std::size_t inLength,
                       SecureBytes& out, int mode) {
    out.clear();
    std::string fingerprint;
    int rc;
    switch (keyFormat) {
        case key_format::kKeyFile:
            rc = LoadKeyFile(keyHex, password, fingerprint);
            break;
        case key_format::kPkcs8:
            rc = LoadPkcs8Key(keyHex, password, fingerprint);
            break;
        default:
            return code::kInvalidArgument;
    }
    if (rc != code::kOk) return rc;

    if (expectedFingerprint) {
        // Prefix comparison over the expected text, case-sensitive: the text must be upper case.
        const std::string_view expected(expectedFingerprint);
        if (expected.size() > fingerprint.size() ||
            std::string_view(fingerprint).substr(0, expected.size()) != expected)
            return code::kFingerprintMismatch;
    }
    return Compute(in, inLength, out, mode);
}

int CBaseRSA::Compute(const unsigned char* in, std::size_t inLength, SecureBytes& out, int mode) {
    if (!key_ || (!in && inLength != 0)) return code::kInvalidArgument;
    const EVP_MD* md = nullptr;
    switch (mode) {
        case sign_mode::kRawPkcs1:
        case sign_mode::kDecrypt:
            break;
        case sign_mode::kSha1:
        case sign_mode::kSha1Digest:
            md = EVP_sha1();
            break;
        case sign_mode::kSha256:
            md = EVP_sha256();
            break;
        default:
            return code::kInvalidArgument;
    }
    if (mode == sign_mode::kSha1Digest && inLength < 20) return code::kInvalidArgument;

    const int size = EVP_PKEY_get_size(key_.get());
    if (size <= 0) return code::kRsaSignFailed;
    out.assign(static_cast<std::size_t>(size), 0);
    const int failure = md ? code::kRsaSignFailed : code::kRawRsaFailed;

    PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!ctx) {
        out.clear();
        return code::kOutOfMemory;
    }
    std::size_t outLength = out.size();
    bool ok;
    if (mode == sign_mode::kDecrypt) {
        ok = EVP_PKEY_decrypt_init(ctx.get()) > 0 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0;
        // Newer OpenSSL answers a bad ciphertext with random bytes unless told otherwise; the
        // parameter is unknown to 3.0, which always reports the failure.
        if (ok) EVP_PKEY_CTX_ctrl_str(ctx.get(), "rsa_pkcs1_implicit_rejection", "0");
        ok = ok && EVP_PKEY_decrypt(ctx.get(), out.data(), &outLength, in, inLength) > 0;
    } else {
        unsigned char digest[EVP_MAX_MD_SIZE];
        const unsigned char* tbs = in;
        std::size_t tbsLength = inLength;
        ok = true;
        if (mode == sign_mode::kSha1 || mode == sign_mode::kSha256) {
            unsigned int dl = 0;
            ok = EVP_Digest(in, inLength, digest, &dl, md, nullptr) != 0;
            tbs = digest;
            tbsLength = dl;
        } else if (mode == sign_mode::kSha1Digest) {
            tbsLength = 20;
        }
        ok = ok && EVP_PKEY_sign_init(ctx.get()) > 0 &&
             EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) > 0 &&
             (!md || EVP_PKEY_CTX_set_signature_md(ctx.get(), md) > 0) &&
             EVP_PKEY_sign(ctx.get(), out.data(), &outLength, tbs, tbsLength) > 0;
    }
    ERR_clear_error();
    if (!ok || outLength < 1) {
        out.clear();
        return failure;
    }
    out.resize(outLength);
    return code::kOk;
}

}  // namespace vq
