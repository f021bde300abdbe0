// The user's personal certificate store: the certificates with private keys in the user's NSS
// database (the store Chromium and Firefox use on Linux), listed for the user to choose from,
// checked for validity, and used to sign (SHA-1) or decrypt with their private keys.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/secure.h"

namespace vq {

// Asks the user for the password of the certificate database; `subject` names the database for
// the user, as "NSS Certificate DB (~/.pki/nssdb)" (component text). Returns nothing when the
// user cancels.
using CertPasswordPrompt = std::function<std::optional<SecureString>(std::string_view subject)>;

// Calendar date (UTC) of a certificate's expiry.
struct CertDate {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
};

// Signing modes the store understands.
namespace certmode {
inline constexpr int kDecrypt = 1;   // PKCS#1 v1.5 decryption with the certificate's key
inline constexpr int kSignSha1 = 3;  // PKCS#1 v1.5 signature over the SHA-1 digest of the input
}  // namespace certmode

// Largest input that decryption accepts.
inline constexpr std::size_t kCertDecryptMaxInput = 1024;
// Work buffer of the list: certificates whose armour does not fit are left out.
inline constexpr std::size_t kCertListBuffer = 4096;
// Buffer the certificate armour is decoded into.
inline constexpr std::size_t kCertDecodeBuffer = 8096;

// Environment variable naming the database ("sql:DIR", "dbm:DIR" or a plain directory).
inline constexpr const char* kNssDatabaseEnv = "VERIQUILL_NSSDB";

class CSystemCertStore {
  public:
    // Uses DefaultDatabase().
    CSystemCertStore();
    // Uses the given database ("sql:DIR", "dbm:DIR" or a plain directory, read as "sql:DIR").
    explicit CSystemCertStore(std::string database);
    ~CSystemCertStore();
    CSystemCertStore(const CSystemCertStore&) = delete;
    CSystemCertStore& operator=(const CSystemCertStore&) = delete;

    // $VERIQUILL_NSSDB when set and not empty, else "sql:$HOME/.pki/nssdb".
    static std::string DefaultDatabase();
    const std::string& Database() const { return database_; }

    // Where the database password comes from; without one a protected database cannot sign.
    void SetPasswordPrompt(CertPasswordPrompt prompt) { prompt_ = std::move(prompt); }

    // Refills the five lists with the certificates that have a private key and are valid now,
    // in enumeration order. 0; 2 out of memory; 21 the database cannot be opened.
    int List();

    // Checks a certificate armour at now + daysAhead days. 0 valid; 80 not valid then; 41 not a
    // certificate armour or not a certificate; 1 missing text or a moment that cannot be
    // represented. `expiry` (optional) receives NotAfter whenever the certificate was read.
    static int CheckValidity(const char* armour, int daysAhead, CertDate* expiry);

    // Signs (mode 3) or decrypts (mode 1) with the private key of the certificate given by its
    // armour. The signature is big-endian, as the recipient's RSA verifies it. Codes: 0; 1
    // missing input, unknown mode or decryption input over 1024 bytes; 2; 21; 23 certificate not
    // in the database; 25, 26 digest; 27 signature length; 28 signing failed; 29 the password
    // prompt was cancelled; 31 private key not found; 41; 101 wrong database password; 504 the
    // key cannot decrypt; 505 decryption failed.
    int SignOrDecrypt(int mode, const char* armour, const unsigned char* in, std::size_t inLength,
                      SecureBytes& out);

    // The lists filled by List(), as Windows-1250 text, all of the same length.
    const std::vector<std::string>& SubjectNames() const { return subjectNames_; }
    const std::vector<std::string>& IssuerNames() const { return issuerNames_; }
    const std::vector<std::string>& SubjectDns() const { return subjectDns_; }
    const std::vector<std::string>& IssuerDns() const { return issuerDns_; }
    const std::vector<std::string>& Certificates() const { return certificates_; }
    std::size_t Count() const { return certificates_.size(); }

  private:
    void Clear();

    std::string database_;
    CertPasswordPrompt prompt_;
    std::vector<std::string> subjectNames_;
    std::vector<std::string> issuerNames_;
    std::vector<std::string> subjectDns_;
    std::vector<std::string> issuerDns_;
    std::vector<std::string> certificates_;
};

}  // namespace vq
