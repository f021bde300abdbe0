#include "operations/device_flows.h"

#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"

namespace vq {
namespace {

constexpr std::size_t kMaxKeyList = 1023;
// The codes are read into 128-byte buffers: 127 characters and the terminating zero.
constexpr std::size_t kCodeBuffer = 127;
// Removed fingerprints are compared with the key data on this many characters.
constexpr std::size_t kRemovedCompare = 20;

bool IsDeviceKeyKind(int k) {
    return k == kind::kSmartCard || k == kind::kAnyDevice || k == kind::kUsbToken;
}

void Truncate(SecureString& s) {
    if (s.size() > kCodeBuffer) {
        SecureString cut(s.view().substr(0, kCodeBuffer));
        s = std::move(cut);
    }
}

// CKF_TOKEN_INITIALIZED alone; the device object keeps it only combined with the user PIN flag.
bool TokenInitialisedFlag(const CPSA& psa) {
    if (psa.moduleKind() != kModulePkcs11) return psa.tokenReady();
    CK_TOKEN_INFO info{};
    if (psa.cryptoki().Call(&CK_FUNCTION_LIST::C_GetTokenInfo, psa.slot(), &info) != CKR_OK)
        return psa.tokenReady();
    return (info.flags & CKF_TOKEN_INITIALIZED) != 0;
}

}  // namespace

std::string MapRemovedKeys(const CKeysStorage& keys, const std::string& removed) {
    auto& index = const_cast<CKeysStorage&>(keys);
    std::string out;
    std::string_view rest(removed);
    while (!rest.empty()) {
        if (rest.front() == '|') rest.remove_prefix(1);
        const std::size_t bar = rest.find('|');
        const std::string_view print = rest.substr(0, bar);
        rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar);
        if (print.empty()) continue;
        for (std::size_t i = 0; i < index.Count(); ++i) {
            const CKeyStorage* key = index.At(i);
            if (!IsDeviceKeyKind(key->kind)) continue;
            if (std::string_view(key->data).substr(0, kRemovedCompare) !=
                print.substr(0, kRemovedCompare))
                continue;
            const std::size_t needed = key->id.size() + (out.empty() ? 0 : 1);
            // The page's buffer holds 1023 characters: stop at a whole identifier.
            if (out.size() + needed > kMaxKeyList) return out;
            if (!out.empty()) out += '|';
            out += key->id;
        }
    }
    return out;
}

int DeviceFlows::Select(int deviceKind) {
    psa_.SetDeviceChooser(ui_.DeviceChooser());
    CK_SLOT_ID slot = 0;
    const int code = psa_.SelectDevice(deviceKind, &slot);
    psa_.SetDeviceChooser(nullptr);
    return code;
}

int DeviceFlows::OpenAndRead(int deviceKind) {
    const int code = Select(deviceKind);
    if (code != code::kOk) return code;
    return psa_.ReadTokenState();
}

void DeviceFlows::Close() {
    if (psa_.session() != 0) psa_.CloseSession();
    psa_.UnloadModule();
}

std::string DeviceFlows::MappedKeyList() {
    std::string list;
    psa_.ListKeys(list);
    return MapDeviceKeyList(keys_, list);
}

OpResult DeviceFlows::ChangePin() {
    OpResult r;
    r.code = [&] {
        if (int code = OpenAndRead(kDeviceAny)) return code;
        if (!Initialised()) return code::kNotInitialised;
        if (psa_.userPinLocked()) {
            if (!psa_.pukLocked()) return code::kPinLocked;
            r.keyList = MappedKeyList();
            return code::kPinAndPukLocked;
        }
        SecureString oldPin, newPin;
        if (ui_.PinDialog(IDeviceFlowUi::kChangePin, psa_.tokenFlag() == 1, oldPin, newPin) !=
            ui::kIdOk)
            return code::kCancelled;
        const int c = psa_.LoginUser(&oldPin);
        if (c != code::kOk) {
            if (psa_.ReadTokenState() != code::kOk) return c;
            if (!psa_.pukLocked() || (!psa_.userPinLocked() && c != code::kPinLocked)) return c;
            r.keyList = MappedKeyList();
            return code::kPinAndPukLocked;
        }
        return psa_.ChangeCode(&oldPin, &newPin, CodeFlavour::User);
    }();
    Close();
    return r;
}

OpResult DeviceFlows::ChangePuk() {
    OpResult r;
    r.code = [&] {
        if (int code = OpenAndRead(kDeviceAny)) return code;
        if (!Initialised()) return code::kNotInitialised;
        if (psa_.pukLocked()) {
            if (!psa_.userPinLocked()) return code::kPukLocked;
            r.keyList = MappedKeyList();
            return code::kPinAndPukLocked;
        }
        SecureString oldPuk, newPuk;
        if (ui_.PinDialog(IDeviceFlowUi::kChangePuk, psa_.tokenFlag() == 1, oldPuk, newPuk) !=
            ui::kIdOk)
            return code::kCancelled;
        const int c = psa_.LoginSO(&oldPuk);
        if (c != code::kOk) {
            if (psa_.ReadTokenState() != code::kOk) return c;
            if ((!psa_.pukLocked() && c != code::kPinLocked) || !psa_.userPinLocked()) return c;
            r.keyList = MappedKeyList();
            return code::kPinAndPukLocked;
        }
        return psa_.ChangeCode(&oldPuk, &newPuk, CodeFlavour::SecurityOfficer);
    }();
    Close();
    return r;
}

OpResult DeviceFlows::Unblock() {
    OpResult r;
    r.code = [&] {
        if (int code = OpenAndRead(kDeviceAny)) return code;
        if (!Initialised()) return code::kNotInitialised;
        if (BothLocked()) {
            r.keyList = MappedKeyList();
            return code::kPinAndPukLocked;
        }
        const bool token = psa_.tokenFlag() == 1;
        SecureString puk, newPin;
        if (ui_.PinDialog(token ? IDeviceFlowUi::kUnblockToken : IDeviceFlowUi::kUnblockCard, token,
                          puk, newPin) != ui::kIdOk)
            return code::kCancelled;
        Truncate(puk);
        Truncate(newPin);
        const int c = psa_.LoginSO(&puk);
        puk.wipe();
        if (c != code::kOk) {
            if (psa_.ReadTokenState() != code::kOk) return c;
            const bool pinLocked = psa_.userPinLocked();
            const bool pukLocked = psa_.pukLocked();
            if (pinLocked && (c == code::kPinLocked || pukLocked)) {
                r.keyList = MappedKeyList();
                return code::kPinAndPukLocked;
            }
            if (c != code::kPinLocked && !pukLocked) return c;
            return code::kPukLocked;
        }
        const int code = psa_.InitUserPin(&newPin);
        newPin.wipe();
        return code;
    }();
    Close();
    return r;
}

OpResult DeviceFlows::InitialiseOpenDevice() {
    OpResult r;
    // The keys that the initialisation erases, reported whatever happens next.
    r.keyList = MappedKeyList();
    r.code = [&] {
        if (TokenInitialisedFlag(psa_) || psa_.userPinInitialised()) {
            if (ui::Message(LoadText(kTextDeviceAlreadyInitialized), ui::Icon::kWarning,
                            ui::Buttons::kYesNo) != ui::kIdYes)
                return code::kCancelled;
        }
        if (psa_.moduleKind() != kModulePkcs11) return code::kInvalidArgument;
        SecureString puk, pin;
        if (ui_.InitDialog(puk, pin) != ui::kIdOk) return code::kCancelled;
        int code = psa_.InitDevice(&puk);
        if (code != code::kOk) {
            ui::Message(LoadText(kTextPukNotWithPolicy));
            return code;
        }
        code = psa_.LoginSO(&puk);
        if (code != code::kOk) {
            ui::Message(LoadText(kTextInvalidPin));
            return code;
        }
        code = psa_.InitUserPin(&pin);
        if (code != code::kOk) ui::Message(LoadText(kTextInvalidNewPin));
        return code;
    }();
    return r;
}

OpResult DeviceFlows::Initialise() {
    OpResult r;
    if (int code = OpenAndRead(kDeviceAny)) {
        r.code = code;
    } else {
        r = InitialiseOpenDevice();
    }
    Close();
    return r;
}

OpResult DeviceFlows::RemoveKeys(int deviceKind) {
    OpResult r;
    r.code = Select(deviceKind);
    if (r.code != code::kOk) {
        Close();
        return r;
    }
    r.code = [&] {
        if (int code = psa_.ReadTokenState()) return code;
        if (!Initialised()) return code::kNotInitialised;
        if (BothLocked()) {
            r.keyList = MappedKeyList();
            return code::kPinAndPukLocked;
        }
        int code = code::kOk;
        while (true) {
            SecureString pin;
            const int answer = ui_.PinPrompt(pin);
            if (answer != ui::kIdOk) {
                code = answer;
                break;
            }
            code = psa_.LoginUser(&pin);
            pin.wipe();
            if (code == code::kOk) {
                std::unique_ptr<IKeyRemovalChooser> chooser = ui_.RemovalChooser();
                std::string removed;
                code = chooser ? psa_.RemoveDeviceKeys(*chooser, removed) : code::kCancelled;
                std::string ids = MapRemovedKeys(keys_, removed);
                if (!ids.empty()) r.keyList = std::move(ids);
            }
            if (code == code::kWrongPin) {
                ui::Message(LoadText(kTextIncorrectPin));
                continue;
            }
            if (code == code::kPinNotAcceptable) continue;
            break;
        }
        if (psa_.ReadTokenState() == code::kOk && BothLocked()) {
            r.keyList = MappedKeyList();
            code = code::kPinAndPukLocked;
        }
        return code;
    }();
    Close();
    return r;
}

}  // namespace vq
