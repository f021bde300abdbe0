// The one place where the certificate store meets NSS: a per-use NSS context with the user's
// database opened read-only as its own slot, and owners for the NSS objects it hands out.
#pragma once

#include <cert.h>
#include <keyhi.h>
#include <nss.h>
#include <pk11pub.h>

#include <memory>
#include <string>

namespace vq::nss {

struct CertDeleter {
    void operator()(CERTCertificate* p) const { CERT_DestroyCertificate(p); }
};
struct CertListDeleter {
    void operator()(CERTCertList* p) const { CERT_DestroyCertList(p); }
};
struct PrivateKeyDeleter {
    void operator()(SECKEYPrivateKey* p) const { SECKEY_DestroyPrivateKey(p); }
};
struct ContextDeleter {
    void operator()(PK11Context* p) const { PK11_DestroyContext(p, PR_TRUE); }
};
struct PortStringDeleter {
    void operator()(char* p) const { PORT_Free(p); }
};
using CertPtr = std::unique_ptr<CERTCertificate, CertDeleter>;
using CertListPtr = std::unique_ptr<CERTCertList, CertListDeleter>;
using PrivateKeyPtr = std::unique_ptr<SECKEYPrivateKey, PrivateKeyDeleter>;
using ContextPtr = std::unique_ptr<PK11Context, ContextDeleter>;
using PortString = std::unique_ptr<char, PortStringDeleter>;

// NSS's CERT_LIST_END with C++ casts: whether the walk has come round to the list's own head.
inline bool AtListEnd(const CERTCertListNode* node, const CERTCertList* list) {
    return static_cast<const void*>(node) == static_cast<const void*>(&list->list);
}

// "sql:DIR" for a plain directory; "sql:" and "dbm:" specifications are kept as given.
std::string DatabaseSpec(const std::string& database);
// The folder a database name points at, without its "sql:" or "dbm:" (an OS path, UTF-8).
std::string DatabaseFolder(const std::string& database);

// The user's database, open for the lifetime of this object. NSS is initialised through a
// context of its own (no database of its own, no module list, no root certificates), so it
// coexists with other users of NSS in the process; the database itself is opened read-only as
// a user slot and closed again unless someone else in the process had it open already.
class Database {
  public:
    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // True when the database is open; false when NSS or the database could not be opened.
    bool Open(const std::string& database);
    PK11SlotInfo* slot() const { return slot_; }
    // The database's name as the programs that open it as their own show it (certutil, Chromium,
    // Firefox: "NSS Certificate DB"), not the label this object opened it under; a slot another
    // user of NSS in the process opened keeps the name that user gave it. UTF-8.
    std::string TokenName() const;

    // Logs in with the password (UTF-8) unless the database needs none or is logged in already.
    // Logging in here is undone when the object goes away.
    bool NeedsLogin() const;
    bool Login(const char* password);

    // Number of NSS shutdowns that failed (objects still referenced) in this process.
    static int ShutdownFailures();

  private:
    NSSInitContext* context_ = nullptr;
    PK11SlotInfo* slot_ = nullptr;
    bool ownsSlot_ = false;
    bool loggedIn_ = false;
};

}  // namespace vq::nss
