// Test double of "winscard.dll": the readers, their cards and the card database come from the
// file named by VQ_FAKE_PCSC_CONFIG, read again at every SCardEstablishContext so a test can
// plug and unplug devices between enumerations.
//   reader <name>|<ATR as hex, empty for a reader without a card>
//   card <name>                      a card name the system knows
//   fail <function> <value>          that function answers the value
//   log <path>                       one line per call
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/pcsc/winscard_api.h"
#include "tests/fakes/fake_common.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

// pcsc-lite's protocol control blocks, which clients of a winscard library expect to find.
FAKE_EXPORT const SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
FAKE_EXPORT const SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
FAKE_EXPORT const SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

struct Reader {
    std::string name;
    std::vector<unsigned char> atr;
};

struct Config {
    std::vector<Reader> readers;
    std::vector<std::string> cards;
    std::map<std::string, long> failures;
    std::string log;
};

Config g_config;

void Load() {
    g_config = Config{};
    for (const auto& [keyword, rest] : fake::ReadConfig("VQ_FAKE_PCSC_CONFIG")) {
        if (keyword == "reader") {
            const auto bar = rest.find('|');
            Reader reader{rest.substr(0, bar), {}};
            if (bar != std::string::npos) reader.atr = fake::Hex(rest.substr(bar + 1));
            g_config.readers.push_back(reader);
        } else if (keyword == "card") {
            g_config.cards.push_back(rest);
        } else if (keyword == "fail") {
            const auto parts = fake::Split(rest, ' ');
            if (parts.size() >= 2)
                g_config.failures[parts[0]] = static_cast<long>(fake::Number(parts[1]));
        } else if (keyword == "log") {
            g_config.log = rest;
        }
    }
}

bool Failure(const char* function, LONG& rv) {
    const auto it = g_config.failures.find(function);
    if (it == g_config.failures.end()) return false;
    rv = it->second;
    return true;
}

LONG Allocate(const std::string& list, LPSTR out, LPDWORD length) {
    if (!out || !length || *length != SCARD_AUTOALLOCATE) return SCARD_E_INVALID_PARAMETER;
    char* copy = static_cast<char*>(std::malloc(list.size()));
    std::memcpy(copy, list.data(), list.size());
    *reinterpret_cast<char**>(out) = copy;
    *length = list.size();
    return SCARD_S_SUCCESS;
}

}  // namespace

FAKE_EXPORT LONG SCardEstablishContext(DWORD scope, LPCVOID, LPCVOID, LPSCARDCONTEXT context) {
    Load();
    fake::Log(g_config.log, "SCardEstablishContext scope=" + std::to_string(scope));
    LONG rv;
    if (Failure("SCardEstablishContext", rv)) return rv;
    *context = 0x5ca1ab1e;
    return SCARD_S_SUCCESS;
}

FAKE_EXPORT LONG SCardReleaseContext(SCARDCONTEXT) {
    fake::Log(g_config.log, "SCardReleaseContext");
    return SCARD_S_SUCCESS;
}

FAKE_EXPORT LONG SCardFreeMemory(SCARDCONTEXT, LPCVOID memory) {
    fake::Log(g_config.log, "SCardFreeMemory");
    std::free(const_cast<void*>(memory));
    return SCARD_S_SUCCESS;
}

FAKE_EXPORT LONG SCardListCardsA(SCARDCONTEXT, LPCBYTE, LPCVOID, DWORD, LPSTR cards,
                                 LPDWORD length) {
    fake::Log(g_config.log, "SCardListCardsA");
    LONG rv;
    if (Failure("SCardListCardsA", rv)) return rv;
    std::string list;
    for (const auto& card : g_config.cards) list += card + '\0';
    list += '\0';
    return Allocate(list, cards, length);
}

FAKE_EXPORT LONG SCardListReadersA(SCARDCONTEXT, LPCSTR, LPSTR readers, LPDWORD length) {
    fake::Log(g_config.log, "SCardListReadersA");
    LONG rv;
    if (Failure("SCardListReadersA", rv)) return rv;
    std::string list;
    for (const auto& reader : g_config.readers) list += reader.name + '\0';
    list += '\0';
    return Allocate(list, readers, length);
}

FAKE_EXPORT LONG SCardLocateCardsA(SCARDCONTEXT, LPCSTR cards, SCARD_READERSTATE* states,
                                   DWORD count) {
    std::string names;
    for (LPCSTR p = cards; p && *p; p += std::strlen(p) + 1) names += std::string(p) + ",";
    fake::Log(g_config.log, "SCardLocateCardsA count=" + std::to_string(count) + " cards=" + names);
    LONG rv;
    if (Failure("SCardLocateCardsA", rv)) return rv;
    for (DWORD i = 0; i < count; ++i) {
        SCARD_READERSTATE& state = states[i];
        state.cbAtr = 0;
        state.dwEventState = SCARD_STATE_UNKNOWN;
        for (const auto& reader : g_config.readers) {
            if (reader.name != state.szReader) continue;
            if (reader.atr.empty()) {
                state.dwEventState = SCARD_STATE_EMPTY;
            } else {
                state.dwEventState = SCARD_STATE_PRESENT | SCARD_STATE_CHANGED;
                state.cbAtr = std::min<DWORD>(reader.atr.size(), MAX_ATR_SIZE);
                std::memcpy(state.rgbAtr, reader.atr.data(), state.cbAtr);
            }
            break;
        }
    }
    return SCARD_S_SUCCESS;
}
