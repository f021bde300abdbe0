#include "hosts/keytool/key_file_writer.h"

#include <openssl/bio.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <memory>
#include <vector>

#include "storage/armour.h"

namespace vq::keytool {
namespace {

struct BioFree {
    void operator()(BIO* b) const { BIO_free(b); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;
struct CtxFree {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};

std::string BioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<std::size_t>(n)) : std::string();
}

int RefuseAll(char*, int, int, void*) {
    return -1;
}

}  // namespace

int MakeKeyFile(const EVP_PKEY* key, const char* password,
                std::span<const unsigned char, kKeyFileSaltSize> salt, SecureString& text) {
    text.wipe();
    if (!key || !password || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return 1;

    // PKCS#1 RSAPrivateKey DER.
    unsigned char* raw = nullptr;
    const int derLength = i2d_PrivateKey(key, &raw);
    if (derLength <= 0) return 2;
    SecureBytes der(raw, raw + derLength);
    OPENSSL_clear_free(raw, static_cast<std::size_t>(derLength));

    SecureBytes k, iv;
    if (int rc = DeriveKeyFileKey(salt, password, k, iv); rc != 0) return rc;

    std::vector<unsigned char> payload(kKeyFileSaltSize + 4 + der.size() + 8);
    std::copy(salt.begin(), salt.end(), payload.begin());
    std::unique_ptr<EVP_CIPHER_CTX, CtxFree> ctx(EVP_CIPHER_CTX_new());
    int n1 = 0, n2 = 0;
    unsigned char* ct = payload.data() + kKeyFileSaltSize + 4;
    if (!ctx || !EVP_EncryptInit_ex(ctx.get(), EVP_des_ede3_cbc(), nullptr, k.data(), iv.data()) ||
        !EVP_EncryptUpdate(ctx.get(), ct, &n1, der.data(), static_cast<int>(der.size())) ||
        !EVP_EncryptFinal_ex(ctx.get(), ct + n1, &n2))
        return 2;
    const auto length = static_cast<std::uint32_t>(n1 + n2);
    for (int i = 0; i < 4; ++i)
        payload[kKeyFileSaltSize + static_cast<std::size_t>(i)] =
            static_cast<unsigned char>(length >> (8 * i));
    payload.resize(kKeyFileSaltSize + 4 + length);
    // The engine decodes into a buffer of this size; a larger payload could not be read back.
    if (payload.size() + 2 >= kKeyFileBufferSize) return 2;

    const std::string armoured = ArmourEncode(payload, armour::kData);
    if (armoured.empty()) return 2;
    text.assign(armoured);
    return 0;
}

int MakeKeyFile(const EVP_PKEY* key, const char* password, SecureString& text) {
    unsigned char salt[kKeyFileSaltSize];
    if (RAND_bytes(salt, sizeof salt) != 1) return 2;
    return MakeKeyFile(key, password, std::span<const unsigned char, kKeyFileSaltSize>(salt), text);
}

std::string MakePkcs8(const EVP_PKEY* key, const char* password, std::string_view cipher) {
    if (!key || !password) return {};
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    const auto passLength = static_cast<int>(std::char_traits<char>::length(password));
    int ok;
    if (cipher == "pbe-sha1-3des") {
        ok = i2d_PKCS8PrivateKey_nid_bio(bio.get(), key, NID_pbe_WithSHA1And3_Key_TripleDES_CBC,
                                         password, passLength, nullptr, nullptr);
    } else {
        const std::string name(cipher);
        const EVP_CIPHER* c = EVP_get_cipherbyname(name.c_str());
        if (!c) return {};
        ok = i2d_PKCS8PrivateKey_bio(bio.get(), key, c, password, passLength, nullptr, nullptr);
    }
    return ok ? BioText(bio.get()) : std::string();
}

PkeyPtr ReadPemKey(std::string_view pem) {
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return nullptr;
    return PkeyPtr(PEM_read_bio_PrivateKey(bio.get(), nullptr, RefuseAll, nullptr));
}

std::string PublicKeyPem(const EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !key || !PEM_write_bio_PUBKEY(bio.get(), key)) return {};
    return BioText(bio.get());
}

}  // namespace vq::keytool
