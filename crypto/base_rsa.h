// The software RSA engine: password-protected key files and PKCS#8 keys, key fingerprints, and
// signing or decryption with the loaded key.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "storage/secure.h"

namespace vq {

// Key formats of SignData.
namespace key_format {
inline constexpr int kKeyFile = 0;
inline constexpr int kPgp = 1;  // refused
inline constexpr int kPkcs8 = 2;
}  // namespace key_format

// Signing modes of SignData.
namespace sign_mode {
inline constexpr int kRawPkcs1 = 0;    // type-1 padding of the input as it is
inline constexpr int kDecrypt = 1;     // private-key decryption, PKCS#1 v1.5
inline constexpr int kSha1 = 3;        // SHA-1 of the input, PKCS#1 v1.5 signature
inline constexpr int kSha256 = 4;      // SHA-256 of the input, PKCS#1 v1.5 signature
inline constexpr int kSha1Digest = 5;  // first 20 input bytes are the SHA-1 digest
}  // namespace sign_mode

// Size of the engine's working buffers; a key file's payload must stay below it.
inline constexpr std::size_t kKeyFileBufferSize = 16384;
// Key-file key derivation: PKCS#12 with SHA-1.
inline constexpr int kKeyFileIterations = 1024;
inline constexpr std::size_t kKeyFileSaltSize = 8;
// Largest iteration count accepted in a PKCS#8 file, so that a crafted file cannot stall the
// signing dialog; files written by common tools use a few thousand.
inline constexpr long kMaxPkcs8Iterations = 10'000'000;

struct EvpPkeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, EvpPkeyFree>;

// The fixed mask mixed into every key-file salt.
inline constexpr std::array<unsigned char, kKeyFileSaltSize> kKeyFileSaltMask = {
    0x5A, 0xC3, 0x17, 0x9E, 0x64, 0x2B, 0xD8, 0x71};

// Derives the Triple-DES key (24 bytes) and IV (8 bytes) of a key file from its stored salt and
// the password. 0, or 3 when the derivation fails.
int DeriveKeyFileKey(std::span<const unsigned char, kKeyFileSaltSize> storedSalt,
                     const char* password, SecureBytes& key, SecureBytes& iv);

// Upper-case hex SHA-1 of n then e (file fingerprint) or of a zero byte, n, e (PKCS#8
// fingerprint); empty when the key is not RSA.
std::string FileFingerprint(const EVP_PKEY* key);
std::string Pkcs8Fingerprint(const EVP_PKEY* key);

// Public-key blob: modulus length (32-bit little-endian), modulus, exponent length, exponent.
std::vector<unsigned char> MakePublicKeyBlob(std::span<const unsigned char> modulus,
                                             std::span<const unsigned char> exponent);
std::vector<unsigned char> PublicKeyBlob(const EVP_PKEY* key);

class CBaseRSA {
  public:
    CBaseRSA();
    virtual ~CBaseRSA();
    CBaseRSA(const CBaseRSA&) = delete;
    CBaseRSA& operator=(const CBaseRSA&) = delete;

    // Key-file text as hex -> loaded key and its file fingerprint (hex). An empty password is
    // accepted, a null one is not. Codes 0, 1, 2, 3, 9, 40, 506.
    int LoadKeyFile(const char* keyHex, const char* password, std::string& fingerprint);
    // Encrypted PKCS#8 DER as hex -> loaded key and its PKCS#8 fingerprint (hex).
    // Codes 0, 1, 5, 9, 98.
    int LoadPkcs8Key(const char* derHex, const char* password, std::string& fingerprint);

    // Loads the key (key format 0 or 2), compares its fingerprint with the expected one over the
    // expected text's length (when given), then computes the signing mode over the input. `out`
    // receives the signature (modulus size) or, in mode 1, the decrypted data.
    int SignData(const char* keyHex, int keyFormat, const char* expectedFingerprint,
                 const char* password, const unsigned char* in, std::size_t inLength,
                 SecureBytes& out, int mode);

    // The loaded key, or null.
    const EVP_PKEY* Key() const { return key_.get(); }

  private:
    int Compute(const unsigned char* in, std::size_t inLength, SecureBytes& out, int mode);

    PkeyPtr key_;
    SecureBytes payload_;  // the decoded key-file payload
    SecureBytes plain_;    // the decrypted private key DER
};

}  // namespace vq
