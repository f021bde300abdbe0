#include "devices/psa.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/pcsc/winscard_api.h"
#include "storage/cfg_reg.h"
#include "storage/codes.h"

namespace vq {
namespace {

constexpr const char* kPkcs11Dll = "pkcs11.dll";
constexpr const char* kGemplusDll = "gclib.dll";
constexpr const char* kWinscardDll = "winscard.dll";

constexpr const char* kModelNames[] = {
    "GemSAFE Smart Card (16K)",  "ProtectorCard",         "ProtectorCard2",
    "GXPPro-R3.x STD PTS",       "GXPPro-R3.x MPCOS PTS", "GXPPro-R3.x MPCOS",
    "GXPPro-R3.x MPCOS PTS T=1", "GXPPro-R3.x MPCOS T=1", "GXPPro-R3.x STD",
    "GXPPro-R3.x STD PTS T=1",   "GXPPro-R3.x STD T=1",
};

// 3B A7 00 40, any byte, 80 65 A2 09.
bool IsGemplusAtr(const unsigned char* atr, std::size_t length) {
    static constexpr int pattern[9] = {0x3B, 0xA7, 0x00, 0x40, -1, 0x80, 0x65, 0xA2, 0x09};
    if (length < 9) return false;
    for (int i = 0; i < 9; ++i)
        if (pattern[i] >= 0 && atr[i] != pattern[i]) return false;
    return true;
}

bool CodeLengthOk(const SecureString* code) {
    return code && code->size() >= 4 && code->size() <= 16;
}

CK_UTF8CHAR_PTR Utf8(const SecureString& s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data()));
}

// The PC/SC functions of one enumeration; "winscard.dll" is freed with the object, and the
// context is released and lists freed on every path.
struct Pcsc {
    loader::Library library;
    SCardEstablishContextFn establish = nullptr;
    SCardReleaseContextFn release = nullptr;
    SCardLocateCardsAFn locate = nullptr;
    SCardFreeMemoryFn freeMemory = nullptr;
    SCardListReadersAFn listReaders = nullptr;
    SCardListCardsAFn listCards = nullptr;
    SCARDCONTEXT context = 0;
    bool haveContext = false;

    bool Bind() {
        library = loader::Library::Load(kWinscardDll);
        if (!library) return false;
        establish = library.Function<SCardEstablishContextFn>("SCardEstablishContext");
        release = library.Function<SCardReleaseContextFn>("SCardReleaseContext");
        locate = library.Function<SCardLocateCardsAFn>("SCardLocateCardsA");
        freeMemory = library.Function<SCardFreeMemoryFn>("SCardFreeMemory");
        listReaders = library.Function<SCardListReadersAFn>("SCardListReadersA");
        listCards = library.Function<SCardListCardsAFn>("SCardListCardsA");
        return establish && release && locate && freeMemory && listReaders && listCards;
    }
    ~Pcsc() {
        if (haveContext) release(context);
    }
    // A multi-string the service allocated, copied out and freed.
    std::vector<std::string> TakeList(char* list, DWORD length) {
        std::vector<std::string> out;
        if (!list) return out;
        std::size_t i = 0;
        while (i < length && list[i] != '\0') {
            const std::size_t n = strnlen(list + i, length - i);
            out.emplace_back(list + i, n);
            i += n + 1;
        }
        freeMemory(context, list);
        return out;
    }
};

int NoDeviceCode(int deviceKind, int forAny) {
    if (deviceKind == kDeviceSmartCard) return code::kNoReader;
    if (deviceKind == kDeviceUsbToken) return code::kNoToken;
    return forAny;
}

}  // namespace

CPSA::CPSA() {
    for (const char* name : kModelNames) AddModelName(name);
    readerPatterns_[1] = " Key ";
}

CPSA::~CPSA() {
    UnloadModule();
}

int CPSA::AddModelName(const char* name) {
    if (!name || models_.size() >= kMaxModels) return code::kInvalidArgument;
    models_.emplace_back(name);
    return code::kOk;
}

int CPSA::MapDeviceError(CK_RV rv, CodeFlavour flavour) {
    const bool user = flavour == CodeFlavour::User;
    switch (rv) {
        case CKR_OK:
            return code::kOk;
        case 601:
            return code::kModuleSpecific;
        case CKR_SESSION_HANDLE_INVALID:
            return code::kNoSession;
        case CKR_TOKEN_NOT_PRESENT:
            return code::kNoCard;
        case CKR_PIN_INCORRECT:
            return user ? code::kWrongPin : code::kWrongPuk;
        case CKR_PIN_LOCKED:
            return user ? code::kPinLocked : code::kPukLocked;
        case CKR_SESSION_READ_ONLY:
        case CKR_USER_NOT_LOGGED_IN:
            return code::kNotLoggedIn;
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_RECOGNIZED:
            return code::kNoCard;
        case CKR_SLOT_ID_INVALID:
            return code::kBadSlot;
        case CKR_PIN_INVALID:
            return code::kPinNotAcceptable;
        default:
            // The program codes are 32-bit; a vendor value wraps as it always did.
            return static_cast<int>(static_cast<std::uint32_t>(rv + code::kDeviceErrorBase));
    }
}

int CPSA::CheckModuleVersion(const char* fileName) {
    if (!fileName) return code::kNoVersionInfo;
    if (loader::GetFileVersionInfoSize(fileName) == 0) return code::kNoVersionInfo;
    loader::FileVersionInfo info;
    loader::FixedFileInfo fixed;
    if (!loader::GetFileVersionInfo(fileName, info) || !loader::VerQueryRoot(info, fixed))
        return code::kOk;
    return std::strcmp(fileName, kPkcs11Dll) == 0 ? code::kOk : code::kModuleRefused;
}

int CPSA::LoadModule(const char* fileName) {
    const int version = CheckModuleVersion(fileName);
    if (version != code::kOk) return version;
    UnloadModule();
    loader::Library library = loader::Library::Load(fileName);
    if (!library) return code::kModuleUnavailable;
    auto getList = library.Function<CK_C_GetFunctionList>("C_GetFunctionList");
    if (!getList) return code::kModuleUnavailable;
    CK_FUNCTION_LIST_PTR list = nullptr;
    if (getList(&list) != CKR_OK || !list) return code::kModuleUnavailable;
    module_ = std::move(library);
    p11_.Bind(list);
    loaded_ = true;
    return code::kOk;
}

int CPSA::InitializeModule() {
    if (!loaded_) return code::kModuleUnavailable;
    session_ = 0;
    if (initialised_) return code::kOk;
    const CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_Initialize, nullptr);
    if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)
        return MapDeviceError(rv, CodeFlavour::User);
    initialised_ = true;
    return code::kOk;
}

int CPSA::UnloadModule() {
    if (initialised_) {
        initialised_ = false;
        p11_.Call(&CK_FUNCTION_LIST::C_Finalize, nullptr);
    }
    // Finalising ends every session of the module.
    session_ = 0;
    if (loaded_) {
        loaded_ = false;
        p11_.Unbind();
        module_.Free();
    }
    return code::kOk;
}

int CPSA::OpenDevice(const char* fileName, CK_SLOT_ID slot, const char* readerName) {
    if (LoadModule(fileName) != code::kOk || InitializeModule() != code::kOk) {
        UnloadModule();
        return code::kModuleUnavailable;
    }
    if (readerName) slot = FindSlotByReader(readerName);
    CK_SESSION_HANDLE session = 0;
    const CK_RV rv =
        p11_.Call(&CK_FUNCTION_LIST::C_OpenSession, slot,
                  CK_FLAGS(CKF_RW_SESSION | CKF_SERIAL_SESSION), nullptr, nullptr, &session);
    if (rv != CKR_OK) {
        UnloadModule();
        return MapDeviceError(rv, CodeFlavour::User);
    }
    session_ = session;
    slot_ = slot;
    return code::kOk;
}

int CPSA::CloseSession() {
    if (session_ == 0) return code::kNoSession;
    const CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_CloseSession, session_);
    session_ = 0;
    return static_cast<int>(rv);
}

CK_SLOT_ID CPSA::FindSlotByReader(const char* readerName) {
    if (!readerName) return 0;
    CK_ULONG count = 0;
    if (p11_.Call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_FALSE), nullptr, &count) != CKR_OK)
        return 0;
    std::vector<CK_SLOT_ID> slots(count);
    if (count == 0 || p11_.Call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL(CK_FALSE), slots.data(),
                                &count) != CKR_OK)
        return 0;
    slots.resize(std::min<std::size_t>(count, slots.size()));
    const std::size_t length = std::strlen(readerName);
    for (CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO info{};
        if (p11_.Call(&CK_FUNCTION_LIST::C_GetSlotInfo, slot, &info) != CKR_OK) continue;
        // The description is a blank-padded 64-byte field: a longer name cannot match.
        if (length <= sizeof info.slotDescription &&
            std::memcmp(info.slotDescription, readerName, length) == 0)
            return slot;
    }
    return 0;
}

int CPSA::Enumerate(int deviceKind, DeviceEntries& entries, int& matching, int& remembered) {
    entries.Clear();
    matching = 0;
    remembered = code::kOk;
    Pcsc pcsc;
    if (!pcsc.Bind()) return code::kPcscLibraryMissing;
    if (pcsc.establish(SCARD_SCOPE_USER, nullptr, nullptr, &pcsc.context) != SCARD_S_SUCCESS)
        return code::kPcscUnavailable;
    pcsc.haveContext = true;

    char* systemCards = nullptr;
    DWORD cardsLength = SCARD_AUTOALLOCATE;
    if (pcsc.listCards(pcsc.context, nullptr, nullptr, 0, reinterpret_cast<LPSTR>(&systemCards),
                       &cardsLength) != SCARD_S_SUCCESS)
        return code::kPcscUnavailable;
    const std::vector<std::string> known = pcsc.TakeList(systemCards, cardsLength);
    std::string filter;
    for (const auto& model : models_)
        if (std::find(known.begin(), known.end(), model) != known.end()) filter += model + '\0';
    filter += '\0';

    char* readerList = nullptr;
    DWORD readersLength = SCARD_AUTOALLOCATE;
    if (pcsc.listReaders(pcsc.context, nullptr, reinterpret_cast<LPSTR>(&readerList),
                         &readersLength) != SCARD_S_SUCCESS)
        return NoDeviceCode(deviceKind, code::kNoReader93);
    std::vector<std::string> readers = pcsc.TakeList(readerList, readersLength);
    if (readers.size() > static_cast<std::size_t>(kMaxReaders)) readers.resize(kMaxReaders);

    std::vector<SCARD_READERSTATE> states(readers.size());
    for (std::size_t i = 0; i < readers.size(); ++i) {
        states[i] = SCARD_READERSTATE{};
        states[i].szReader = readers[i].c_str();
        states[i].dwCurrentState = SCARD_STATE_UNAWARE;
    }
    if (readers.empty()) {
        remembered = code::kNoReader95;
    } else if (pcsc.locate(pcsc.context, filter.data(), states.data(),
                           static_cast<DWORD>(states.size())) != SCARD_S_SUCCESS) {
        return code::kNoReader94;
    }

    const CKeywrightUtils keywright;
    for (std::size_t i = 0; i < states.size(); ++i) {
        SCARD_READERSTATE& state = states[i];
        const std::size_t atrLength = std::min<std::size_t>(state.cbAtr, sizeof state.rgbAtr);
        const bool token = readers[i].find(readerPatterns_[1]) != std::string::npos ||
                           (atrLength > 0 && keywright.IsToken(state.rgbAtr, atrLength));
        if ((deviceKind == kDeviceSmartCard && token) ||
            (deviceKind == kDeviceUsbToken && !token)) {
            state.dwCurrentState = state.dwEventState;
            continue;
        }
        ++matching;
        const CK_SLOT_ID position = i;
        int result;
        int kind;
        CK_SLOT_ID slot = 0;
        std::string serial;
        if (IsGemplusAtr(state.rgbAtr, atrLength)) {
            kind = kModuleGemplus;
            result = OpenDevice(kGemplusDll, position, nullptr);
            if (result == code::kOk) {
                slot_ = slot = position;
                result = GetSerialNumber(serial);
            }
        } else {
            kind = kModulePkcs11;
            result = OpenDevice(kPkcs11Dll, position + 1, readers[i].c_str());
            if (result == code::kOk) {
                slot = slot_;
                result = GetSerialNumber(serial);
                CloseSession();
            }
        }
        if (result == code::kOk && entries.count < DeviceEntries::kMax) {
            const auto n = static_cast<std::size_t>(entries.count++);
            entries.readers[n] = readers[i];
            entries.serials[n] = serial;
            entries.slotIds[n] = slot;
            entries.moduleKinds[n] = kind;
            entries.atrs[n].assign(state.rgbAtr, state.rgbAtr + atrLength);
        } else if (result != code::kOk) {
            remembered = result;
        }
        state.dwCurrentState = state.dwEventState;
    }
    return code::kOk;
}

int CPSA::ListDevices(int deviceKind, DeviceEntries& entries) {
    int matching = 0;
    int remembered = 0;
    const int rc = Enumerate(deviceKind, entries, matching, remembered);
    if (rc != code::kOk) return rc;
    if (matching == 0) return NoDeviceCode(deviceKind, code::kOk);
    return code::kOk;
}

int CPSA::SelectDevice(int deviceKind, CK_SLOT_ID* chosenSlot) {
    if (session_ != 0) return code::kOk;
    DeviceEntries entries;
    int matching = 0;
    int remembered = 0;
    const int rc = Enumerate(deviceKind, entries, matching, remembered);
    if (rc != code::kOk) return rc;
    if (matching == 0) return NoDeviceCode(deviceKind, remembered);
    if (entries.count == 0) return deviceKind == kDeviceUsbToken ? code::kNoToken : code::kNoCard;
    int row = 0;
    if (entries.count > 1) {
        row = chooser_ ? chooser_->ChooseDevice(*this, deviceKind, entries) : -1;
        if (row < 0 || row >= entries.count) return code::kCancelled;
    }
    const auto n = static_cast<std::size_t>(row);
    if (chosenSlot) *chosenSlot = entries.slotIds[n];
    slot_ = entries.slotIds[n];
    moduleKind_ = entries.moduleKinds[n];
    const CKeywrightUtils keywright;
    tokenFlag_ = entries.readers[n].find(readerPatterns_[1]) != std::string::npos ||
                         (!entries.atrs[n].empty() &&
                          keywright.IsToken(entries.atrs[n].data(), entries.atrs[n].size()))
                     ? 1
                     : 0;
    return OpenDevice(moduleKind_ == kModulePkcs11 ? kPkcs11Dll : kGemplusDll, slot_, nullptr);
}

int CPSA::GetSerialNumber(std::string& serial) {
    CK_TOKEN_INFO info{};
    const CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot_, &info);
    if (rv != CKR_OK) return MapDeviceError(rv, CodeFlavour::User);
    serial.assign(reinterpret_cast<const char*>(info.serialNumber), sizeof info.serialNumber);
    return code::kOk;
}

int CPSA::ReadTokenState() {
    if (moduleKind_ == kModulePkcs11) {
        CK_TOKEN_INFO info{};
        const CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot_, &info);
        if (rv != CKR_OK) return MapDeviceError(rv, CodeFlavour::User);
        state_.tokenReady =
            (info.flags & CKF_TOKEN_INITIALIZED) && (info.flags & CKF_USER_PIN_INITIALIZED);
        state_.userPinInitialised = (info.flags & CKF_USER_PIN_INITIALIZED) != 0;
        state_.userPinLocked = (info.flags & CKF_USER_PIN_LOCKED) != 0;
        state_.pukLocked = (info.flags & CKF_SO_PIN_LOCKED) != 0;
        state_.tokenInitialised = (info.flags & CKF_TOKEN_INITIALIZED) != 0;
        return code::kOk;
    }
    if (moduleKind_ == kModuleGemplus) {
        CK_SESSION_INFO info{};
        const CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_GetSessionInfo, session_, &info);
        if (rv != CKR_OK) return MapDeviceError(rv, CodeFlavour::User);
        state_.tokenReady = true;
        state_.userPinInitialised = true;
        state_.userPinLocked = ((info.ulDeviceError >> 16) & 0xFF) == 0;
        state_.pukLocked = ((info.ulDeviceError >> 24) & 0xFF) == 0;
        state_.tokenInitialised = true;
        return code::kOk;
    }
    return code::kInvalidArgument;
}

int CPSA::LoginUser(const SecureString* pin) {
    if (session_ == 0) return code::kNoSession;
    if (!pin || pin->size() < 4) return code::kPinNotAcceptable;
    if (pin->size() > 16) return code::kWrongPin;
    CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_Login, session_, CK_USER_TYPE(CKU_USER), Utf8(*pin),
                         CK_ULONG(pin->size()));
    if (rv == CKR_USER_ALREADY_LOGGED_IN) {
        // A session left logged in must not let an unchecked PIN through: log in afresh.
        p11_.Call(&CK_FUNCTION_LIST::C_Logout, session_);
        rv = p11_.Call(&CK_FUNCTION_LIST::C_Login, session_, CK_USER_TYPE(CKU_USER), Utf8(*pin),
                       CK_ULONG(pin->size()));
    }
    return MapDeviceError(rv, CodeFlavour::User);
}

int CPSA::LoginSO(const SecureString* puk) {
    if (session_ == 0) return code::kNoSession;
    if (!puk) return code::kPinNotAcceptable;
    const CK_RV rv = p11_.Call(&CK_FUNCTION_LIST::C_Login, session_, CK_USER_TYPE(CKU_SO),
                               Utf8(*puk), CK_ULONG(puk->size()));
    return MapDeviceError(rv, CodeFlavour::SecurityOfficer);
}

int CPSA::ChangeCode(const SecureString* oldCode, const SecureString* newCode,
                     CodeFlavour flavour) {
    if (session_ == 0) return code::kNoSession;
    if (!CodeLengthOk(oldCode) || !CodeLengthOk(newCode)) return code::kPinNotAcceptable;
    const CK_RV rv =
        p11_.Call(&CK_FUNCTION_LIST::C_SetPIN, session_, Utf8(*oldCode), CK_ULONG(oldCode->size()),
                  Utf8(*newCode), CK_ULONG(newCode->size()));
    return MapDeviceError(rv, flavour);
}

int CPSA::InitUserPin(const SecureString* pin) {
    if (session_ == 0) return code::kNoSession;
    if (!CodeLengthOk(pin)) return code::kPinNotAcceptable;
    const CK_RV rv =
        p11_.Call(&CK_FUNCTION_LIST::C_InitPIN, session_, Utf8(*pin), CK_ULONG(pin->size()));
    return MapDeviceError(rv, CodeFlavour::User);
}

int CPSA::InitDevice(const SecureString* puk) {
    if (!CodeLengthOk(puk)) return code::kPinNotAcceptable;
    // PKCS#11 refuses to initialise a token while the application has a session on it, and the
    // security-officer login that follows needs one: close ours and open a fresh one afterwards.
    const bool hadSession = session_ != 0;
    if (hadSession) CloseSession();
    CK_UTF8CHAR label[32];
    std::memset(label, ' ', sizeof label);
    const CK_RV rv =
        p11_.Call(&CK_FUNCTION_LIST::C_InitToken, slot_, Utf8(*puk), CK_ULONG(puk->size()), label);
    if (hadSession) {
        CK_SESSION_HANDLE session = 0;
        if (p11_.Call(&CK_FUNCTION_LIST::C_OpenSession, slot_,
                      CK_FLAGS(CKF_RW_SESSION | CKF_SERIAL_SESSION), nullptr, nullptr,
                      &session) == CKR_OK)
            session_ = session;
    }
    if (rv == CKR_FUNCTION_FAILED) return code::kInitDeviceFailed;
    return MapDeviceError(rv, CodeFlavour::User);
}

CPSA& CPSAS::Add() {
    devices_.push_back(std::make_unique<CPSA>());
    return *devices_.back();
}

}  // namespace vq
