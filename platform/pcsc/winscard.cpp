// "winscard.dll" on Linux: the six PC/SC functions the device layer needs, over pcsc-lite and the
// pcscd daemon. pcsc-lite lacks SCardListCards and SCardLocateCards: they are built here on
// SCardGetStatusChange and a card database in the machine registry, kept as Windows keeps it:
//   HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Cryptography\Calais\SmartCards\<card name>
//     "ATR"     binary, the card's answer-to-reset
//     "ATRMask" binary, optional; bits to compare (all when absent)
// pcsc-lite is opened privately (RTLD_LOCAL), so its functions of the same names never bind to
// these exports or the reverse.
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pcsc/winscard_api.h"
#include "platform/registry/registry.h"

#define VQ_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char* kCardDatabaseKey = "SOFTWARE\\Microsoft\\Cryptography\\Calais\\SmartCards";

struct PcscLite {
    void* handle = nullptr;
    SCardEstablishContextFn establish = nullptr;
    SCardReleaseContextFn release = nullptr;
    LONG (*listReaders)(SCARDCONTEXT, LPCSTR, LPSTR, LPDWORD) = nullptr;
    LONG (*getStatusChange)(SCARDCONTEXT, DWORD, SCARD_READERSTATE*, DWORD) = nullptr;
    bool ok = false;
};

const PcscLite& Lite() {
    static PcscLite lite;
    static std::once_flag once;
    std::call_once(once, [] {
        lite.handle = dlopen("libpcsclite.so.1", RTLD_NOW | RTLD_LOCAL);
        if (!lite.handle) return;
        lite.establish =
            reinterpret_cast<SCardEstablishContextFn>(dlsym(lite.handle, "SCardEstablishContext"));
        lite.release =
            reinterpret_cast<SCardReleaseContextFn>(dlsym(lite.handle, "SCardReleaseContext"));
        lite.listReaders =
            reinterpret_cast<decltype(lite.listReaders)>(dlsym(lite.handle, "SCardListReaders"));
        lite.getStatusChange = reinterpret_cast<decltype(lite.getStatusChange)>(
            dlsym(lite.handle, "SCardGetStatusChange"));
        lite.ok = lite.establish && lite.release && lite.listReaders && lite.getStatusChange;
    });
    return lite;
}

struct Card {
    std::string name;
    std::vector<unsigned char> atr;
    std::vector<unsigned char> mask;
};

std::vector<unsigned char> BinaryValue(const vq::reg::Key& key, const char* name) {
    std::uint32_t size = 0;
    std::uint32_t type = 0;
    if (vq::reg::QueryValue(key, name, &type, nullptr, &size) != vq::reg::kErrorSuccess ||
        size == 0)
        return {};
    std::vector<unsigned char> data(size);
    if (vq::reg::QueryValue(key, name, &type, data.data(), &size) != vq::reg::kErrorSuccess)
        return {};
    data.resize(size);
    return data;
}

std::vector<Card> CardDatabase() {
    std::vector<Card> cards;
    vq::reg::KeyPtr root;
    if (vq::reg::OpenKey(vq::reg::Root::LocalMachine, kCardDatabaseKey, vq::reg::kKeyRead, root) !=
        vq::reg::kErrorSuccess)
        return cards;
    std::vector<std::string> names;
    if (vq::reg::EnumKeys(*root, names) != vq::reg::kErrorSuccess) return cards;
    for (const auto& name : names) {
        vq::reg::KeyPtr key;
        if (vq::reg::OpenKey(vq::reg::Root::LocalMachine,
                             std::string(kCardDatabaseKey) + "\\" + name, vq::reg::kKeyRead,
                             key) != vq::reg::kErrorSuccess)
            continue;
        Card card{name, BinaryValue(*key, "ATR"), BinaryValue(*key, "ATRMask")};
        if (!card.mask.empty() && card.mask.size() != card.atr.size()) card.mask.clear();
        cards.push_back(std::move(card));
    }
    return cards;
}

bool AtrMatches(const Card& card, const unsigned char* atr, std::size_t length) {
    if (card.atr.empty() || card.atr.size() != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char mask = card.mask.empty() ? 0xFF : card.mask[i];
        if ((card.atr[i] & mask) != (atr[i] & mask)) return false;
    }
    return true;
}

// Hands a multi-string to the caller as Windows does: with *length SCARD_AUTOALLOCATE the list
// is allocated (free it with SCardFreeMemory); with no buffer only the length is reported.
LONG ReturnList(const std::string& list, LPSTR out, LPDWORD length) {
    if (!length) return SCARD_E_INVALID_PARAMETER;
    if (*length == SCARD_AUTOALLOCATE) {
        if (!out) return SCARD_E_INVALID_PARAMETER;
        char* copy = static_cast<char*>(std::malloc(list.size()));
        if (!copy) return SCARD_E_NO_MEMORY;
        std::memcpy(copy, list.data(), list.size());
        *reinterpret_cast<char**>(out) = copy;
        *length = list.size();
        return SCARD_S_SUCCESS;
    }
    if (!out) {
        *length = list.size();
        return SCARD_S_SUCCESS;
    }
    if (*length < list.size()) {
        *length = list.size();
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    std::memcpy(out, list.data(), list.size());
    *length = list.size();
    return SCARD_S_SUCCESS;
}

std::vector<std::string> SplitList(LPCSTR list) {
    std::vector<std::string> out;
    if (!list) return out;
    while (*list) {
        out.emplace_back(list);
        list += out.back().size() + 1;
    }
    return out;
}

}  // namespace

VQ_EXPORT LONG SCardEstablishContext(DWORD scope, LPCVOID reserved1, LPCVOID reserved2,
                                     LPSCARDCONTEXT context) {
    const PcscLite& lite = Lite();
    if (!lite.ok) return SCARD_E_NO_SERVICE;
    return lite.establish(scope, reserved1, reserved2, context);
}

VQ_EXPORT LONG SCardReleaseContext(SCARDCONTEXT context) {
    const PcscLite& lite = Lite();
    if (!lite.ok) return SCARD_E_NO_SERVICE;
    return lite.release(context);
}

VQ_EXPORT LONG SCardFreeMemory(SCARDCONTEXT, LPCVOID memory) {
    std::free(const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

VQ_EXPORT LONG SCardListReadersA(SCARDCONTEXT context, LPCSTR groups, LPSTR readers,
                                 LPDWORD length) {
    const PcscLite& lite = Lite();
    if (!lite.ok) return SCARD_E_NO_SERVICE;
    if (!length) return SCARD_E_INVALID_PARAMETER;
    // The list may grow between asking for its size and reading it: ask again then.
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = 0;
        LONG rv = lite.listReaders(context, groups, nullptr, &size);
        if (rv != SCARD_S_SUCCESS) return rv;
        std::string list(size, '\0');
        rv = lite.listReaders(context, groups, list.data(), &size);
        if (rv == SCARD_E_INSUFFICIENT_BUFFER) continue;
        if (rv != SCARD_S_SUCCESS) return rv;
        list.resize(size);
        return ReturnList(list, readers, length);
    }
    return SCARD_E_INSUFFICIENT_BUFFER;
}

VQ_EXPORT LONG SCardListCardsA(SCARDCONTEXT, LPCBYTE atr, LPCVOID, DWORD, LPSTR cards,
                               LPDWORD length) {
    std::string list;
    for (const Card& card : CardDatabase()) {
        if (atr) {
            // The ATR's own length is not passed: compare over the stored ATR's length.
            if (card.atr.empty() || !AtrMatches(card, atr, card.atr.size())) continue;
        }
        list += card.name;
        list += '\0';
    }
    list += '\0';
    return ReturnList(list, cards, length);
}

VQ_EXPORT LONG SCardLocateCardsA(SCARDCONTEXT context, LPCSTR cards, SCARD_READERSTATE* states,
                                 DWORD count) {
    const PcscLite& lite = Lite();
    if (!lite.ok) return SCARD_E_NO_SERVICE;
    if (count == 0) return SCARD_S_SUCCESS;
    if (!states) return SCARD_E_INVALID_PARAMETER;
    // Ask from an unaware state so that the service answers at once with every reader's state.
    std::vector<SCARD_READERSTATE> probe(states, states + count);
    for (auto& state : probe) state.dwCurrentState = SCARD_STATE_UNAWARE;
    const LONG rv = lite.getStatusChange(context, 0, probe.data(), count);
    if (rv != SCARD_S_SUCCESS) return rv;

    const std::vector<std::string> wanted = SplitList(cards);
    std::vector<Card> database;
    if (!wanted.empty()) database = CardDatabase();
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATE& state = states[i];
        const DWORD atrLength = probe[i].cbAtr <= MAX_ATR_SIZE ? probe[i].cbAtr : MAX_ATR_SIZE;
        std::memcpy(state.rgbAtr, probe[i].rgbAtr, atrLength);
        state.cbAtr = atrLength;
        state.dwEventState = probe[i].dwEventState & ~static_cast<DWORD>(SCARD_STATE_ATRMATCH);
        for (const Card& card : database) {
            bool named = false;
            for (const auto& name : wanted) named = named || name == card.name;
            if (named && AtrMatches(card, state.rgbAtr, atrLength)) {
                state.dwEventState |= SCARD_STATE_ATRMATCH;
                break;
            }
        }
    }
    return SCARD_S_SUCCESS;
}
