#include "operations/device_flows.h"

#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/code_table.h"
#include "storage/codes.h"

namespace vq {
namespace {

// The codes are read into 128-byte buffers: 127 characters and the terminating zero.
constexpr std::size_t kCodeBuffer = 127;

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

int UnblockWithCodes(CPSA& psa, SecureString& puk, SecureString& newPin,
                     std::string& deviceKeyList) {
    const int login = psa.LoginSO(&puk);
    puk.wipe();
    if (login != code::kOk) {
        newPin.wipe();
        if (psa.ReadTokenState() != code::kOk) return login;
        const int lock = ClassifyFailedLogin(psa.tokenState(), DeviceCode::Puk, login);
        if (lock == code::kPinAndPukLocked) psa.ListKeys(deviceKeyList);
        return lock != code::kOk ? lock : login;
    }
    const int code = psa.InitUserPin(&newPin);
    newPin.wipe();
    return code;
}

int DeviceFlows::Select(DeviceKind deviceKind) {
    psa_.SetDeviceChooser(ui_.DeviceChooser());
    CK_SLOT_ID slot = 0;
    const int code = psa_.SelectDevice(deviceKind, &slot);
    psa_.SetDeviceChooser(nullptr);
    return code;
}

int DeviceFlows::OpenAndRead(DeviceKind deviceKind) {
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

int DeviceFlows::Locked(int lock, OpResult& r) {
    if (lock == code::kPinAndPukLocked) r.keyList = MappedKeyList();
    return lock;
}

int DeviceFlows::FailedLogin(DeviceCode tried, int login, OpResult& r) {
    if (psa_.ReadTokenState() != code::kOk) return login;
    const int lock = ClassifyFailedLogin(psa_.tokenState(), tried, login);
    // A lock of the tried code alone leaves the login's own answer.
    return lock == code::kPinAndPukLocked ? Locked(lock, r) : login;
}

OpResult DeviceFlows::ChangePin() {
    OpResult r;
    r.code = [&] {
        if (int code = OpenAndRead(DeviceKind::Any)) return code;
        if (int lock = ClassifyDeviceState(psa_.tokenState(), DeviceCode::UserPin))
            return Locked(lock, r);
        SecureString oldPin, newPin;
        if (ui_.PinDialog(IDeviceFlowUi::kChangePin, psa_.tokenFlag() == 1, oldPin, newPin) !=
            ui::kIdOk)
            return code::kCancelled;
        const int c = psa_.LoginUser(&oldPin);
        if (c != code::kOk) return FailedLogin(DeviceCode::UserPin, c, r);
        return psa_.ChangeCode(&oldPin, &newPin, CodeFlavour::User);
    }();
    Close();
    return r;
}

OpResult DeviceFlows::ChangePuk() {
    OpResult r;
    r.code = [&] {
        if (int code = OpenAndRead(DeviceKind::Any)) return code;
        if (int lock = ClassifyDeviceState(psa_.tokenState(), DeviceCode::Puk))
            return Locked(lock, r);
        SecureString oldPuk, newPuk;
        if (ui_.PinDialog(IDeviceFlowUi::kChangePuk, psa_.tokenFlag() == 1, oldPuk, newPuk) !=
            ui::kIdOk)
            return code::kCancelled;
        const int c = psa_.LoginSO(&oldPuk);
        if (c != code::kOk) return FailedLogin(DeviceCode::Puk, c, r);
        return psa_.ChangeCode(&oldPuk, &newPuk, CodeFlavour::SecurityOfficer);
    }();
    Close();
    return r;
}

OpResult DeviceFlows::Unblock() {
    OpResult r;
    r.code = [&] {
        if (int code = OpenAndRead(DeviceKind::Any)) return code;
        if (int lock = ClassifyDeviceState(psa_.tokenState(), std::nullopt)) return Locked(lock, r);
        const bool token = psa_.tokenFlag() == 1;
        SecureString puk, newPin;
        if (ui_.PinDialog(token ? IDeviceFlowUi::kUnblockToken : IDeviceFlowUi::kUnblockCard, token,
                          puk, newPin) != ui::kIdOk)
            return code::kCancelled;
        Truncate(puk);
        Truncate(newPin);
        std::string deviceKeyList;
        const int code = UnblockWithCodes(psa_, puk, newPin, deviceKeyList);
        if (code == code::kPinAndPukLocked) r.keyList = MapDeviceKeyList(keys_, deviceKeyList);
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
    if (int code = OpenAndRead(DeviceKind::Any)) {
        r.code = code;
    } else {
        r = InitialiseOpenDevice();
    }
    Close();
    return r;
}

OpResult DeviceFlows::RemoveKeys(DeviceKind deviceKind) {
    OpResult r;
    r.code = Select(deviceKind);
    if (r.code != code::kOk) {
        Close();
        return r;
    }
    r.code = [&] {
        if (int code = psa_.ReadTokenState()) return code;
        if (int lock = ClassifyDeviceState(psa_.tokenState(), std::nullopt)) return Locked(lock, r);
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
            // A wrong or unacceptable PIN is asked for again, after its text if it has one.
            const CodeMeaning meaning = MeaningOf(code);
            if (!meaning.pinPromptAgain) break;
            if (meaning.pinPromptText != 0) ui::Message(LoadText(meaning.pinPromptText));
        }
        if (psa_.ReadTokenState() == code::kOk &&
            ClassifyLocks(psa_.userPinLocked(), psa_.pukLocked(), std::nullopt) ==
                code::kPinAndPukLocked)
            code = Locked(code::kPinAndPukLocked, r);
        return code;
    }();
    Close();
    return r;
}

}  // namespace vq
