// Writing the key formats the component reads: ".prv" key files and encrypted PKCS#8 files.
#pragma once

#include <openssl/evp.h>

#include <span>
#include <string>
#include <string_view>

#include "crypto/base_rsa.h"
#include "storage/secure.h"

namespace vq::keytool {

// The armoured key-file text of an RSA key under the password, with the given stored salt.
// 0 on success; 1 when the key is not RSA; 3 derivation failed; 2 encryption or encoding failed.
int MakeKeyFile(const EVP_PKEY* key, const char* password,
                std::span<const unsigned char, kKeyFileSaltSize> salt, SecureString& text);
// The same with a fresh random salt.
int MakeKeyFile(const EVP_PKEY* key, const char* password, SecureString& text);

// Encrypted PKCS#8 DER. `cipher` is an OpenSSL cipher name for PBES2 ("aes-256-cbc", "des3", ...)
// or "pbe-sha1-3des" for the old PKCS#12 scheme. Empty on failure.
std::string MakePkcs8(const EVP_PKEY* key, const char* password, std::string_view cipher);

// Unencrypted PEM private key (PKCS#1 or PKCS#8) -> key; null when it is not one.
PkeyPtr ReadPemKey(std::string_view pem);
// Public key as PEM (SubjectPublicKeyInfo).
std::string PublicKeyPem(const EVP_PKEY* key);

}  // namespace vq::keytool
