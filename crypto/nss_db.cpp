#include "crypto/nss_db.h"

#include <secmod.h>
// This header lacks the C++ guards of the others.
extern "C" {
#include <utilpars.h>
}

#include <atomic>

namespace vq::nss {

namespace {

std::atomic<int> shutdownFailures{0};
std::atomic<unsigned> openCount{0};

}  // namespace

std::string DatabaseSpec(const std::string& database) {
    if (database.rfind("sql:", 0) == 0 || database.rfind("dbm:", 0) == 0) return database;
    return "sql:" + database;
}

std::string DatabaseFolder(const std::string& database) {
    return DatabaseSpec(database).substr(4);
}

std::string Database::TokenName() const {
    if (!slot_) return {};
    // NSS's own name for the key token of a database opened as a program's main database.
    if (ownsSlot_) return "NSS Certificate DB";
    const char* name = PK11_GetTokenName(slot_);
    return name ? name : "";
}

int Database::ShutdownFailures() {
    return shutdownFailures.load();
}

bool Database::Open(const std::string& database) {
    if (context_) return slot_ != nullptr;
    NSSInitParameters params{};
    params.length = sizeof(params);
    context_ = NSS_InitContext("", "", "", "", &params,
                               NSS_INIT_READONLY | NSS_INIT_NOCERTDB | NSS_INIT_NOMODDB |
                                   NSS_INIT_NOROOTINIT | NSS_INIT_OPTIMIZESPACE);
    if (!context_) return false;

    // A token name of our own tells whether the slot we get back is one we opened or one that
    // another user of NSS in this process opened before us (NSS hands out the same slot).
    const std::string token = "Veriquill store " + std::to_string(++openCount);
    // Quoted with the quotes included.
    PortString dir(NSSUTIL_Quote(DatabaseSpec(database).c_str(), '\''));
    if (!dir) return false;
    const std::string spec =
        std::string("configdir=") + dir.get() + " tokenDescription='" + token + "' flags=readOnly";
    slot_ = SECMOD_OpenUserDB(spec.c_str());
    if (!slot_) return false;
    ownsSlot_ = token == PK11_GetTokenName(slot_);
    if (!PK11_IsPresent(slot_)) {
        if (ownsSlot_) SECMOD_CloseUserDB(slot_);
        PK11_FreeSlot(slot_);
        slot_ = nullptr;
        return false;
    }
    return true;
}

bool Database::NeedsLogin() const {
    return slot_ && PK11_NeedLogin(slot_) && !PK11_IsLoggedIn(slot_, nullptr);
}

bool Database::Login(const char* password) {
    if (!NeedsLogin()) return slot_ != nullptr;
    if (PK11_CheckUserPassword(slot_, password) != SECSuccess) return false;
    loggedIn_ = true;
    return true;
}

Database::~Database() {
    if (slot_) {
        if (loggedIn_) PK11_Logout(slot_);
        if (ownsSlot_) SECMOD_CloseUserDB(slot_);
        PK11_FreeSlot(slot_);
    }
    if (context_ && NSS_ShutdownContext(context_) != SECSuccess) ++shutdownFailures;
}

}  // namespace vq::nss
