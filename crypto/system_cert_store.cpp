#include "crypto/system_cert_store.h"

#include <cryptohi.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <secerr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "crypto/nss_db.h"
#include "platform/codepage/codepage.h"
#include "storage/armour.h"
#include "storage/codes.h"

namespace vq {

namespace {

struct X509Deleter {
    void operator()(X509* p) const { X509_free(p); }
};

// The moment now + days, or nothing when it falls outside what a certificate date can express
// (years 1601 to 9999).
std::optional<std::time_t> MomentAhead(int daysAhead) {
    const std::int64_t t = static_cast<std::int64_t>(std::time(nullptr)) +
                           static_cast<std::int64_t>(daysAhead) * 86400;
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm fields{};
    if (!gmtime_r(&tt, &fields)) return std::nullopt;
    const long year = static_cast<long>(fields.tm_year) + 1900;
    if (year < 1601 || year > 9999) return std::nullopt;
    return tt;
}

// Validity of a DER certificate at moment t: 0, 80, 41 (not a certificate), 1 (dates unreadable).
int CheckDer(const unsigned char* der, std::size_t length, std::time_t t, CertDate* expiry) {
    if (length > static_cast<std::size_t>(LONG_MAX)) return code::kNotCertificate;
    const unsigned char* p = der;
    std::unique_ptr<X509, X509Deleter> cert(d2i_X509(nullptr, &p, static_cast<long>(length)));
    if (!cert) return code::kNotCertificate;
    const ASN1_TIME* notBefore = X509_get0_notBefore(cert.get());
    const ASN1_TIME* notAfter = X509_get0_notAfter(cert.get());
    std::tm fields{};
    if (!notBefore || !notAfter || !ASN1_TIME_to_tm(notAfter, &fields))
        return code::kInvalidArgument;
    if (expiry) *expiry = {fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday};
    const int before = ASN1_TIME_cmp_time_t(notBefore, t);
    const int after = ASN1_TIME_cmp_time_t(notAfter, t);
    if (before == -2 || after == -2) return code::kInvalidArgument;
    return before <= 0 && after >= 0 ? code::kOk : code::kCertNotValid;
}

// Decodes a certificate armour into `der` (kCertDecodeBuffer bytes); false when it is none.
bool DecodeArmour(const char* armour, std::vector<unsigned char>& der) {
    der.assign(kCertDecodeBuffer, 0);
    std::size_t length = der.size();
    const int rc =
        ArmourDecode(armour, std::strlen(armour), der.data(), &length, armour::kCertificate);
    if (rc != armour::kDecodeOk || length == der.size()) return false;
    der.resize(length);
    return true;
}

// NSS text (UTF-8) as the component's 8-bit text.
std::string ToAnsi(const char* utf8) {
    if (!utf8) return {};
    if (auto s = cp::Utf8ToAnsi(utf8)) return *std::move(s);
    return utf8;
}

// An OS path (UTF-8) as component text, to be shown to the user: the one place where the store
// takes a path from the OS. Characters the code page lacks become '?', as do the bytes of a
// name that is not UTF-8 at all.
std::string PathAsText(const std::string& path) {
    if (auto s = cp::Utf8ToAnsi(path)) return *std::move(s);
    std::string out;
    for (char c : path) out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
    return out;
}

std::string HomeDir() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    const passwd* pw = getpwuid(getuid());
    return pw && pw->pw_dir ? pw->pw_dir : "";
}

// What the password prompt names: the database as the user's other NSS programs show it and its
// folder, the home directory written "~": "NSS Certificate DB (~/.pki/nssdb)".
std::string PromptSubject(const nss::Database& db, const std::string& database) {
    std::string folder = nss::DatabaseFolder(database);
    std::string home = HomeDir();
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    if (!home.empty() && home != "/" &&
        (folder == home || folder.compare(0, home.size() + 1, home + "/") == 0))
        folder = "~" + folder.substr(home.size());
    return ToAnsi(db.TokenName().c_str()) + " (" + PathAsText(folder) + ")";
}

std::string Take(char* nssString) {
    nss::PortString owned(nssString);
    return ToAnsi(owned.get());
}

// The name a person knows the certificate by: common name, else unit, organisation, e-mail
// address (for the subject also the one in the alternative names), else the first attribute.
std::string SimpleDisplayName(CERTCertificate* cert, bool issuer) {
    const CERTName* name = issuer ? &cert->issuer : &cert->subject;
    for (auto get : {CERT_GetCommonName, CERT_GetOrgUnitName, CERT_GetOrgName}) {
        std::string s = Take(get(name));
        if (!s.empty()) return s;
    }
    std::string email = Take(CERT_GetCertEmailAddress(name));
    if (!email.empty()) return email;
    if (!issuer) {
        // Owned by the certificate.
        if (const char* alt = CERT_GetFirstEmailAddress(cert); alt && *alt) return ToAnsi(alt);
    }
    if (name->rdns && name->rdns[0] && name->rdns[0]->avas && name->rdns[0]->avas[0]) {
        SECItem* value = CERT_DecodeAVAValue(&name->rdns[0]->avas[0]->value);
        if (value) {
            std::string s(reinterpret_cast<const char*>(value->data), value->len);
            SECITEM_FreeItem(value, PR_TRUE);
            return ToAnsi(s.c_str());
        }
    }
    return {};
}

std::string DistinguishedName(CERTName* name) {
    return Take(CERT_NameToAscii(name));
}

// The database certificate whose DER encoding matches the decoded bytes.
nss::CertPtr FindCertificate(PK11SlotInfo* slot, const std::vector<unsigned char>& der) {
    nss::CertListPtr certs(PK11_ListCertsInSlot(slot));
    if (!certs) return nullptr;
    for (CERTCertListNode* node = CERT_LIST_HEAD(certs.get()); !nss::AtListEnd(node, certs.get());
         node = CERT_LIST_NEXT(node)) {
        const SECItem& stored = node->cert->derCert;
        if (stored.len <= der.size() && std::memcmp(stored.data, der.data(), stored.len) == 0)
            return nss::CertPtr(CERT_DupCertificate(node->cert));
    }
    return nullptr;
}

// The password from the prompt (component text) as the UTF-8 NSS expects, in wiped memory.
SecureString Utf8Password(const SecureString& typed) {
    bool ascii = true;
    for (char c : typed.view()) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) return typed;
    std::string converted = cp::AnsiToUtf8(typed.view());
    SecureString out(converted);
    OPENSSL_cleanse(converted.data(), converted.size());
    return out;
}

int Decrypt(SECKEYPrivateKey* key, const unsigned char* in, std::size_t inLength,
            SecureBytes& out) {
    if (SECKEY_GetPrivateKeyType(key) != rsaKey) return code::kNoExchangeKey;
    const int modulus = PK11_GetPrivateModulusLen(key);
    if (modulus <= 0) return code::kNoExchangeKey;
    static const unsigned char kNothing = 0;
    SecureBytes plain(static_cast<std::size_t>(modulus));
    unsigned int plainLength = 0;
    if (PK11_PrivDecryptPKCS1(key, plain.data(), &plainLength, static_cast<unsigned>(plain.size()),
                              inLength ? in : &kNothing,
                              static_cast<unsigned>(inLength)) != SECSuccess)
        return code::kDecryptFailed;
    plain.resize(plainLength);
    out = std::move(plain);
    return code::kOk;
}

int SignSha1(SECKEYPrivateKey* key, const unsigned char* in, std::size_t inLength,
             SecureBytes& out) {
    nss::ContextPtr hash(PK11_CreateDigestContext(SEC_OID_SHA1));
    if (!hash) return code::kHashCreate;
    unsigned char digest[20];
    unsigned int digestLength = 0;
    if (PK11_DigestBegin(hash.get()) != SECSuccess) return code::kHashData;
    // NSS takes lengths as unsigned int: feed very long input in parts.
    constexpr std::size_t kPart = 1u << 30;
    for (std::size_t done = 0; done < inLength; done += kPart) {
        const std::size_t n = std::min(kPart, inLength - done);
        if (PK11_DigestOp(hash.get(), in + done, static_cast<unsigned>(n)) != SECSuccess)
            return code::kHashData;
    }
    if (PK11_DigestFinal(hash.get(), digest, &digestLength, sizeof digest) != SECSuccess)
        return code::kHashData;
    const int length = PK11_SignatureLen(key);
    if (length <= 0) return code::kSignatureLength;
    SECItem digestItem{siBuffer, digest, digestLength};
    SECItem signature{siBuffer, nullptr, 0};
    if (SGN_Digest(key, SEC_OID_SHA1, &signature, &digestItem) != SECSuccess)
        return PORT_GetError() == SEC_ERROR_USER_CANCELLED ? code::kSignatureCancelled
                                                           : code::kStoreSignFailed;
    // NSS already gives the big-endian form the recipient verifies.
    out.assign(signature.data, signature.data + signature.len);
    SECITEM_FreeItem(&signature, PR_FALSE);
    return code::kOk;
}

}  // namespace

CSystemCertStore::CSystemCertStore() : database_(DefaultDatabase()) {}

CSystemCertStore::CSystemCertStore(std::string database) : database_(std::move(database)) {}

CSystemCertStore::~CSystemCertStore() = default;

std::string CSystemCertStore::DefaultDatabase() {
    if (const char* env = std::getenv(kNssDatabaseEnv); env && *env) return env;
    return "sql:" + HomeDir() + "/.pki/nssdb";
}

void CSystemCertStore::Clear() {
    subjectNames_.clear();
    issuerNames_.clear();
    subjectDns_.clear();
    issuerDns_.clear();
    certificates_.clear();
}

int CSystemCertStore::List() try {
    std::vector<char> work(kCertListBuffer);
    Clear();
    nss::Database db;
    if (!db.Open(database_)) return code::kCertStoreOpen;
    nss::CertListPtr certs(PK11_ListCertsInSlot(db.slot()));
    if (!certs) return code::kOk;  // an empty database
    const auto now = MomentAhead(0);
    for (CERTCertListNode* node = CERT_LIST_HEAD(certs.get()); !nss::AtListEnd(node, certs.get());
         node = CERT_LIST_NEXT(node)) {
        CERTCertificate* cert = node->cert;
        if (!CERT_IsUserCert(cert)) continue;  // no private key
        std::size_t length = work.size();
        if (ArmourEncode(cert->derCert.data, cert->derCert.len, work.data(), &length,
                         armour::kCertificate) != armour::kEncodeOk ||
            length >= work.size())
            continue;  // does not fit the work buffer
        if (!now || CheckDer(cert->derCert.data, cert->derCert.len, *now, nullptr) != code::kOk)
            continue;
        certificates_.emplace_back(work.data(), length);
        issuerDns_.push_back(DistinguishedName(&cert->issuer));
        issuerNames_.push_back(SimpleDisplayName(cert, true));
        subjectDns_.push_back(DistinguishedName(&cert->subject));
        subjectNames_.push_back(SimpleDisplayName(cert, false));
    }
    return code::kOk;
} catch (const std::bad_alloc&) {
    Clear();
    return code::kOutOfMemory;
}

int CSystemCertStore::CheckValidity(const char* armour, int daysAhead, CertDate* expiry) try {
    if (!armour) return code::kInvalidArgument;
    std::vector<unsigned char> der;
    if (!DecodeArmour(armour, der)) return code::kNotCertificate;
    const auto moment = MomentAhead(daysAhead);
    if (!moment) return code::kInvalidArgument;
    return CheckDer(der.data(), der.size(), *moment, expiry);
} catch (const std::bad_alloc&) {
    return code::kOutOfMemory;
}

int CSystemCertStore::SignOrDecrypt(int mode, const char* armour, const unsigned char* in,
                                    std::size_t inLength, SecureBytes& out) try {
    out.clear();
    if (!armour || (!in && inLength)) return code::kInvalidArgument;
    std::vector<unsigned char> der;
    if (!DecodeArmour(armour, der)) return code::kNotCertificate;

    nss::Database db;
    if (!db.Open(database_)) return code::kCertStoreOpen;
    nss::CertPtr cert = FindCertificate(db.slot(), der);
    if (!cert) return code::kCertNotInStore;

    // Refused before the user is asked for the database password.
    if (mode != certmode::kDecrypt && mode != certmode::kSignSha1) return code::kInvalidArgument;
    if (mode == certmode::kDecrypt && inLength > kCertDecryptMaxInput)
        return code::kInvalidArgument;

    if (db.NeedsLogin()) {
        if (!prompt_) return code::kPrivateKeyUnavailable;
        std::optional<SecureString> typed = prompt_(PromptSubject(db, database_));
        if (!typed) return code::kSignatureCancelled;
        if (!db.Login(Utf8Password(*typed).c_str()))
            return PORT_GetError() == SEC_ERROR_BAD_PASSWORD ? code::kWrongPasswordLower
                                                             : code::kPrivateKeyUnavailable;
    }
    nss::PrivateKeyPtr key(PK11_FindPrivateKeyFromCert(db.slot(), cert.get(), nullptr));
    if (!key) return code::kPrivateKeyUnavailable;

    SecureBytes result;
    const int rc = mode == certmode::kDecrypt ? Decrypt(key.get(), in, inLength, result)
                                              : SignSha1(key.get(), in, inLength, result);
    if (rc == code::kOk) out = std::move(result);
    return rc;
} catch (const std::bad_alloc&) {
    out.clear();
    return code::kOutOfMemory;
}

}  // namespace vq
