// Test double of a PKCS#11 module ("pkcs11.dll" / "gclib.dll"): a proxy over a real module
// (SoftHSM2 in the tests) that shows the slots a test describes, locks the user PIN and the PUK
// after a number of wrong tries, and fails chosen calls. Configured by the file named in
// VQ_FAKE_P11_CONFIG:
//   backend <path of the real module>
//   slot <description>|token=<label of a backend token>|pintries=3|puktries=3|clearflags=0x..
//   slot <description>|absent                   a reader without a card
//   fail <C_Function> <value> [<skip> [<times>]]  calls skip+1 .. skip+times answer the value
//   initialize <value>           C_Initialize initialises the backend, then answers the value
//   delay <C_Function> <ms>      that function takes this long (a slow device)
//   state <path>                 tries left, kept across loads of the module
//   log <path>                   one line per call
// Slot ids are the positions of the slot lines, from 0. The tries left appear in the token
// flags (CKF_USER_PIN_LOCKED, CKF_SO_PIN_LOCKED) and, as a Gemplus card reports them, in bits
// 16-23 (PIN) and 24-31 (PUK) of the session's ulDeviceError.
#include <dlfcn.h>
#include <unistd.h>
#include <p11-kit/pkcs11.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tests/fakes/fake_common.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Slot {
    std::string description;
    std::string token;
    bool absent = false;
    CK_SLOT_ID backend = 0;
    bool bound = false;
    unsigned long maxPin = 3, maxPuk = 3, pinTries = 3, pukTries = 3;
    CK_FLAGS clearFlags = 0;
};

struct Rule {
    CK_RV rv;
    unsigned long skip;
    unsigned long times;
};

struct State {
    void* handle = nullptr;
    CK_FUNCTION_LIST_PTR real = nullptr;
    std::vector<Slot> slots;
    std::map<std::string, Rule> rules;
    std::map<std::string, unsigned long> calls;
    std::map<std::string, unsigned long> delays;  // milliseconds
    std::map<CK_SESSION_HANDLE, std::size_t> sessions;  // session -> slot position
    std::map<CK_SESSION_HANDLE, CK_USER_TYPE> logins;
    std::string statePath, logPath, backend;
    CK_RV initializeRv = CKR_OK;
    bool initialised = false;
};

State g;

void Log(const std::string& line) {
    fake::Log(g.logPath, line);
}

bool Inject(const char* fn, CK_RV& rv) {
    if (const auto d = g.delays.find(fn); d != g.delays.end()) usleep(d->second * 1000);
    const unsigned long n = ++g.calls[fn];
    const auto it = g.rules.find(fn);
    if (it == g.rules.end()) return false;
    if (n <= it->second.skip || n - it->second.skip > it->second.times) return false;
    rv = it->second.rv;
    Log(std::string("inject ") + fn + " " + std::to_string(rv));
    return true;
}

void SaveState() {
    if (g.statePath.empty()) return;
    std::ofstream out(g.statePath, std::ios::trunc);
    for (std::size_t i = 0; i < g.slots.size(); ++i)
        out << i << ' ' << g.slots[i].pinTries << ' ' << g.slots[i].pukTries << '\n';
}

void LoadState() {
    if (g.statePath.empty()) return;
    std::ifstream in(g.statePath);
    std::size_t i;
    unsigned long pin, puk;
    while (in >> i >> pin >> puk)
        if (i < g.slots.size()) g.slots[i].pinTries = pin, g.slots[i].pukTries = puk;
}

void Configure() {
    g = State{};
    for (const auto& [keyword, rest] : fake::ReadConfig("VQ_FAKE_P11_CONFIG")) {
        if (keyword == "backend") {
            g.backend = rest;
        } else if (keyword == "slot") {
            const auto fields = fake::Split(rest, '|');
            Slot slot;
            slot.description = fields.empty() ? "" : fields[0];
            for (std::size_t i = 1; i < fields.size(); ++i) {
                const auto& f = fields[i];
                const auto eq = f.find('=');
                const std::string key = f.substr(0, eq);
                const std::string value = eq == std::string::npos ? "" : f.substr(eq + 1);
                if (key == "absent") slot.absent = true;
                if (key == "token") slot.token = value;
                if (key == "pintries") slot.maxPin = slot.pinTries = fake::Number(value);
                if (key == "puktries") slot.maxPuk = slot.pukTries = fake::Number(value);
                if (key == "pinleft") slot.pinTries = fake::Number(value);
                if (key == "pukleft") slot.pukTries = fake::Number(value);
                if (key == "clearflags") slot.clearFlags = fake::Number(value);
            }
            g.slots.push_back(slot);
        } else if (keyword == "fail") {
            const auto parts = fake::Split(rest, ' ');
            if (parts.size() >= 2)
                g.rules[parts[0]] =
                    Rule{fake::Number(parts[1]), parts.size() > 2 ? fake::Number(parts[2]) : 0,
                         parts.size() > 3 ? fake::Number(parts[3]) : ~0ul};
        } else if (keyword == "delay") {
            const auto parts = fake::Split(rest, ' ');
            if (parts.size() >= 2) g.delays[parts[0]] = fake::Number(parts[1]);
        } else if (keyword == "initialize") {
            g.initializeRv = fake::Number(rest);
        } else if (keyword == "state") {
            g.statePath = rest;
        } else if (keyword == "log") {
            g.logPath = rest;
        }
    }
    LoadState();
}

Slot* FindSlot(CK_SLOT_ID id) {
    return id < g.slots.size() ? &g.slots[id] : nullptr;
}

CK_RV SlotOf(CK_SLOT_ID id, Slot*& slot) {
    if (!g.initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    slot = FindSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    if (slot->absent || !slot->bound) return CKR_TOKEN_NOT_PRESENT;
    return CKR_OK;
}

Slot* SessionSlot(CK_SESSION_HANDLE session) {
    const auto it = g.sessions.find(session);
    return it == g.sessions.end() ? nullptr : &g.slots[it->second];
}

#define INJECT(name)                    \
    do {                                \
        CK_RV injected_;                \
        if (Inject(#name, injected_)) { \
            return injected_;           \
        }                               \
    } while (0)
#define CHECK_INIT() \
    if (!g.initialised) return CKR_CRYPTOKI_NOT_INITIALIZED

CK_RV Initialize(void* args) {
    Configure();
    Log("C_Initialize");
    INJECT(C_Initialize);
    g.handle = dlopen(g.backend.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!g.handle) return CKR_GENERAL_ERROR;
    auto get = reinterpret_cast<CK_C_GetFunctionList>(dlsym(g.handle, "C_GetFunctionList"));
    if (!get || get(&g.real) != CKR_OK) return CKR_GENERAL_ERROR;
    CK_RV rv = g.real->C_Initialize(args);
    if (rv != CKR_OK) return rv;
    // Bind each described slot to the backend token with its label.
    CK_ULONG count = 0;
    g.real->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> ids(count);
    if (count) g.real->C_GetSlotList(CK_TRUE, ids.data(), &count);
    for (CK_SLOT_ID id : ids) {
        CK_TOKEN_INFO info;
        if (g.real->C_GetTokenInfo(id, &info) != CKR_OK) continue;
        std::string label(reinterpret_cast<char*>(info.label), sizeof info.label);
        label.erase(label.find_last_not_of(' ') + 1);
        for (auto& slot : g.slots)
            if (!slot.absent && !slot.bound && slot.token == label) {
                slot.backend = id;
                slot.bound = true;
                break;
            }
    }
    g.initialised = true;
    return g.initializeRv;
}

CK_RV Finalize(void* reserved) {
    Log("C_Finalize");
    CHECK_INIT();
    g.initialised = false;
    CK_RV rv = g.real->C_Finalize(reserved);
    dlclose(g.handle);
    g.handle = nullptr;
    g.real = nullptr;
    return rv;
}

CK_RV GetInfo(CK_INFO_PTR info) {
    CHECK_INIT();
    return g.real->C_GetInfo(info);
}

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    CHECK_INIT();
    INJECT(C_GetSlotList);
    std::vector<CK_SLOT_ID> ids;
    for (std::size_t i = 0; i < g.slots.size(); ++i)
        if (!present || (!g.slots[i].absent && g.slots[i].bound)) ids.push_back(i);
    if (!list) {
        *count = ids.size();
        return CKR_OK;
    }
    if (*count < ids.size()) {
        *count = ids.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(ids.begin(), ids.end(), list);
    *count = ids.size();
    return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID id, CK_SLOT_INFO_PTR info) {
    CHECK_INIT();
    INJECT(C_GetSlotInfo);
    Slot* slot = FindSlot(id);
    if (!slot) return CKR_SLOT_ID_INVALID;
    std::memset(info, 0, sizeof *info);
    std::memset(info->slotDescription, ' ', sizeof info->slotDescription);
    std::memcpy(info->slotDescription, slot->description.data(),
                std::min(slot->description.size(), sizeof info->slotDescription));
    std::memset(info->manufacturerID, ' ', sizeof info->manufacturerID);
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT;
    if (!slot->absent && slot->bound) info->flags |= CKF_TOKEN_PRESENT;
    return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID id, CK_TOKEN_INFO_PTR info) {
    Slot* slot;
    CK_RV rv = SlotOf(id, slot);
    if (rv != CKR_OK) return rv;
    INJECT(C_GetTokenInfo);
    rv = g.real->C_GetTokenInfo(slot->backend, info);
    if (rv != CKR_OK) return rv;
    info->flags &= ~CK_FLAGS(CKF_USER_PIN_LOCKED | CKF_SO_PIN_LOCKED | slot->clearFlags);
    if (slot->pinTries == 0) info->flags |= CKF_USER_PIN_LOCKED;
    if (slot->pukTries == 0) info->flags |= CKF_SO_PIN_LOCKED;
    return CKR_OK;
}

CK_RV InitToken(CK_SLOT_ID id, CK_UTF8CHAR_PTR pin, CK_ULONG length, CK_UTF8CHAR_PTR label) {
    Slot* slot;
    CK_RV rv = SlotOf(id, slot);
    if (rv != CKR_OK) return rv;
    INJECT(C_InitToken);
    if (slot->pukTries == 0) return CKR_PIN_LOCKED;
    // Keep the backend token findable under its label whatever label the caller gives.
    CK_UTF8CHAR own[32];
    std::memset(own, ' ', sizeof own);
    std::memcpy(own, slot->token.data(), std::min(slot->token.size(), sizeof own));
    (void)label;
    rv = g.real->C_InitToken(slot->backend, pin, length, own);
    if (rv == CKR_PIN_INCORRECT && slot->pukTries > 0) --slot->pukTries;
    if (rv == CKR_OK) slot->pinTries = slot->maxPin, slot->pukTries = slot->maxPuk;
    SaveState();
    return rv;
}

CK_RV OpenSession(CK_SLOT_ID id, CK_FLAGS flags, void* app, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session) {
    Log("C_OpenSession " + std::to_string(id));
    Slot* slot;
    CK_RV rv = SlotOf(id, slot);
    if (rv != CKR_OK) return rv;
    INJECT(C_OpenSession);
    rv = g.real->C_OpenSession(slot->backend, flags, app, notify, session);
    if (rv == CKR_OK) g.sessions[*session] = id;
    return rv;
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
    Log("C_CloseSession");
    CHECK_INIT();
    INJECT(C_CloseSession);
    g.sessions.erase(session);
    g.logins.erase(session);
    return g.real->C_CloseSession(session);
}

CK_RV GetSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    CHECK_INIT();
    INJECT(C_GetSessionInfo);
    CK_RV rv = g.real->C_GetSessionInfo(session, info);
    if (rv != CKR_OK) return rv;
    if (Slot* slot = SessionSlot(session)) {
        info->slotID = g.sessions[session];
        info->ulDeviceError = ((slot->pinTries & 0xFF) << 16) | ((slot->pukTries & 0xFF) << 24);
    }
    return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE type, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    Log("C_Login " + std::to_string(type));
    CHECK_INIT();
    INJECT(C_Login);
    Slot* slot = SessionSlot(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    unsigned long& tries = type == CKU_SO ? slot->pukTries : slot->pinTries;
    const unsigned long max = type == CKU_SO ? slot->maxPuk : slot->maxPin;
    if (tries == 0) return CKR_PIN_LOCKED;
    CK_RV rv = g.real->C_Login(session, type, pin, length);
    if (rv == CKR_PIN_INCORRECT) --tries;
    if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
        tries = max;
        g.logins[session] = type;
    }
    SaveState();
    return rv;
}

CK_RV Logout(CK_SESSION_HANDLE session) {
    CHECK_INIT();
    INJECT(C_Logout);
    g.logins.erase(session);
    return g.real->C_Logout(session);
}

CK_RV InitPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    CHECK_INIT();
    INJECT(C_InitPIN);
    CK_RV rv = g.real->C_InitPIN(session, pin, length);
    if (rv == CKR_OK)
        if (Slot* slot = SessionSlot(session)) slot->pinTries = slot->maxPin;
    SaveState();
    return rv;
}

CK_RV SetPIN(CK_SESSION_HANDLE session, CK_UTF8CHAR_PTR oldPin, CK_ULONG oldLength,
             CK_UTF8CHAR_PTR newPin, CK_ULONG newLength) {
    CHECK_INIT();
    INJECT(C_SetPIN);
    Slot* slot = SessionSlot(session);
    if (!slot) return CKR_SESSION_HANDLE_INVALID;
    const bool so = g.logins.count(session) && g.logins[session] == CKU_SO;
    unsigned long& tries = so ? slot->pukTries : slot->pinTries;
    if (tries == 0) return CKR_PIN_LOCKED;
    CK_RV rv = g.real->C_SetPIN(session, oldPin, oldLength, newPin, newLength);
    if (rv == CKR_PIN_INCORRECT) --tries;
    SaveState();
    return rv;
}

#define FORWARD(name, params, args)   \
    CK_RV name params {               \
        CHECK_INIT();                 \
        INJECT(C_##name);             \
        return g.real->C_##name args; \
    }

FORWARD(GetAttributeValue,
        (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n), (s, o, t, n))
FORWARD(SetAttributeValue,
        (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_PTR t, CK_ULONG n), (s, o, t, n))
FORWARD(FindObjectsInit, (CK_SESSION_HANDLE s, CK_ATTRIBUTE_PTR t, CK_ULONG n), (s, t, n))
FORWARD(FindObjects, (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE_PTR o, CK_ULONG m, CK_ULONG_PTR n),
        (s, o, m, n))
FORWARD(FindObjectsFinal, (CK_SESSION_HANDLE s), (s))
FORWARD(DestroyObject, (CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o), (s, o))
FORWARD(GenerateKeyPair,
        (CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_ATTRIBUTE_PTR pt, CK_ULONG pn,
         CK_ATTRIBUTE_PTR qt, CK_ULONG qn, CK_OBJECT_HANDLE_PTR pk, CK_OBJECT_HANDLE_PTR qk),
        (s, m, pt, pn, qt, qn, pk, qk))
FORWARD(SignInit, (CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k), (s, m, k))
FORWARD(Sign, (CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG n, CK_BYTE_PTR o, CK_ULONG_PTR on),
        (s, d, n, o, on))
FORWARD(DecryptInit, (CK_SESSION_HANDLE s, CK_MECHANISM_PTR m, CK_OBJECT_HANDLE k), (s, m, k))
FORWARD(Decrypt, (CK_SESSION_HANDLE s, CK_BYTE_PTR d, CK_ULONG n, CK_BYTE_PTR o, CK_ULONG_PTR on),
        (s, d, n, o, on))

CK_FUNCTION_LIST MakeList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_Initialize = Initialize;
    list.C_Finalize = Finalize;
    list.C_GetInfo = GetInfo;
    list.C_GetSlotList = GetSlotList;
    list.C_GetSlotInfo = GetSlotInfo;
    list.C_GetTokenInfo = GetTokenInfo;
    list.C_InitToken = InitToken;
    list.C_InitPIN = InitPIN;
    list.C_SetPIN = SetPIN;
    list.C_OpenSession = OpenSession;
    list.C_CloseSession = CloseSession;
    list.C_GetSessionInfo = GetSessionInfo;
    list.C_Login = Login;
    list.C_Logout = Logout;
    list.C_GetAttributeValue = GetAttributeValue;
    list.C_SetAttributeValue = SetAttributeValue;
    list.C_FindObjectsInit = FindObjectsInit;
    list.C_FindObjects = FindObjects;
    list.C_FindObjectsFinal = FindObjectsFinal;
    list.C_DestroyObject = DestroyObject;
    list.C_GenerateKeyPair = GenerateKeyPair;
    list.C_SignInit = SignInit;
    list.C_Sign = Sign;
    list.C_DecryptInit = DecryptInit;
    list.C_Decrypt = Decrypt;
    return list;
}

CK_FUNCTION_LIST g_list = MakeList();

}  // namespace

FAKE_EXPORT CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (!list) return CKR_ARGUMENTS_BAD;
    g_list.C_GetFunctionList = C_GetFunctionList;
    *list = &g_list;
    return CKR_OK;
}
