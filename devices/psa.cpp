#include "devices/psa.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "storage/codes.h"

namespace vq {
namespace {

constexpr const char* kPkcs11Dll = "pkcs11.dll";
constexpr const char* kGemplusDll = "gclib.dll";

constexpr const char* kModelNames[] = {
    "GemSAFE Smart Card (16K)",  "ProtectorCard",         "ProtectorCard2",
    "GXPPro-R3.x STD PTS",       "GXPPro-R3.x MPCOS PTS", "GXPPro-R3.x MPCOS",
    "GXPPro-R3.x MPCOS PTS T=1", "GXPPro-R3.x MPCOS T=1", "GXPPro-R3.x STD",
    "GXPPro-R3.x STD PTS T=1",   "GXPPro-R3.x STD T=1",
};

bool CodeLengthOk(const SecureString* code) {
    return code && code->size() >= 4 && code->size() <= 16;
}

CK_UTF8CHAR_PTR Utf8(const SecureString& s) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(s.data()));
}

int NoDeviceCode(DeviceKind deviceKind, int forAny) {
    if (deviceKind == DeviceKind::SmartCard) return code::kNoReader;
    if (deviceKind == DeviceKind::UsbToken) return code::kNoToken;
    return forAny;
}

// Smart cards only, USB tokens only, or any device.
bool Wanted(DeviceKind deviceKind, bool token) {
    if (deviceKind == DeviceKind::SmartCard) return !token;
    if (deviceKind == DeviceKind::UsbToken) return token;
    return true;
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

int CPSA::Probe(const Reader& reader, CK_SLOT_ID position, DeviceEntry& entry) {
    entry = DeviceEntry{reader.name, {}, 0, kModulePkcs11, reader.atr};
    if (IsGemplusAtr(reader.atr)) {
        // Opened by reader position; this session stays open.
        entry.moduleKind = kModuleGemplus;
        int result = OpenDevice(kGemplusDll, position, nullptr);
        if (result == code::kOk) {
            slot_ = entry.slot = position;
            result = GetSerialNumber(entry.serial);
        }
        return result;
    }
    // The slot is the one whose description names the reader.
    int result = OpenDevice(kPkcs11Dll, position + 1, reader.name.c_str());
    if (result == code::kOk) {
        entry.slot = slot_;
        result = GetSerialNumber(entry.serial);
        CloseSession();
    }
    return result;
}

int CPSA::Enumerate(DeviceKind deviceKind, DeviceEntries& entries, int& matching, int& remembered) {
    entries.clear();
    matching = 0;
    remembered = code::kOk;
    // The scan keeps the PC/SC context until every reader has been probed.
    ReaderScan scan;
    const int rc = scan.Run(models_);
    if (rc == code::kNoReader93) return NoDeviceCode(deviceKind, rc);
    if (rc != code::kOk) return rc;
    if (scan.readers().empty()) remembered = code::kNoReader95;
    for (std::size_t i = 0; i < scan.readers().size(); ++i) {
        const Reader& reader = scan.readers()[i];
        if (!Wanted(deviceKind, IsTokenDevice(reader.name, reader.atr, readerPatterns_[1])))
            continue;
        ++matching;
        DeviceEntry entry;
        const int result = Probe(reader, i, entry);
        if (result != code::kOk)
            remembered = result;
        else if (entries.size() < kMaxDeviceEntries)
            entries.push_back(std::move(entry));
    }
    return code::kOk;
}

int CPSA::ListDevices(DeviceKind deviceKind, DeviceEntries& entries) {
    int matching = 0;
    int remembered = 0;
    const int rc = Enumerate(deviceKind, entries, matching, remembered);
    if (rc != code::kOk) return rc;
    if (matching == 0) return NoDeviceCode(deviceKind, code::kOk);
    return code::kOk;
}

int CPSA::SelectDevice(DeviceKind deviceKind, CK_SLOT_ID* chosenSlot) {
    if (session_ != 0) return code::kOk;
    DeviceEntries entries;
    int matching = 0;
    int remembered = 0;
    const int rc = Enumerate(deviceKind, entries, matching, remembered);
    if (rc != code::kOk) return rc;
    if (matching == 0) return NoDeviceCode(deviceKind, remembered);
    if (entries.empty()) return deviceKind == DeviceKind::UsbToken ? code::kNoToken : code::kNoCard;
    int row = 0;
    if (entries.size() > 1) {
        row = chooser_ ? chooser_->ChooseDevice(*this, deviceKind, entries) : -1;
        // The chooser may have refreshed the entries.
        if (row < 0 || static_cast<std::size_t>(row) >= entries.size()) return code::kCancelled;
    }
    const DeviceEntry& chosen = entries[static_cast<std::size_t>(row)];
    if (chosenSlot) *chosenSlot = chosen.slot;
    slot_ = chosen.slot;
    moduleKind_ = chosen.moduleKind;
    tokenFlag_ = IsTokenDevice(chosen.reader, chosen.atr, readerPatterns_[1]) ? 1 : 0;
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
