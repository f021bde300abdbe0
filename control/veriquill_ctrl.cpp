#include "control/veriquill_ctrl.h"

#include <charconv>
#include <cstdio>
#include <limits>

#include "control/method_table.h"
#include "dialogs/devices/device_flow_dialogs.h"
#include "dialogs/gen_key_dlg.h"
#include "dialogs/sign_dlg.h"
#include "resources/text.h"
#include "storage/codes.h"

namespace vq {

namespace result {

std::string Code(int code) {
    return std::to_string(code);
}

namespace {
std::string CodeAnd(int code, std::string_view payload) {
    std::string s = Code(code);
    s += '|';
    s += payload;
    return s;
}
std::string Joined(const OpResult& r) {
    std::string s = Code(r.code);
    for (const std::string& f : r.fields) {
        s += '|';
        s += f;
    }
    return s;
}
const std::string& First(const OpResult& r) {
    static const std::string empty;
    return r.fields.empty() ? empty : r.fields.front();
}
bool WrongOrBlocked(int code) {
    return code == code::kWrongPassword || code == code::kKeyBlocked;
}
}  // namespace

std::string WithKeyId(const OpResult& r) {
    if (r.code == code::kOk) return Joined(r);
    if (WrongOrBlocked(r.code)) return CodeAnd(r.code, First(r));
    if (r.code == code::kPinAndPukLocked) return CodeAnd(r.code, r.keyList.value_or(""));
    return Code(r.code);
}

std::string WithKeyList(const OpResult& r) {
    return r.keyList ? CodeAnd(r.code, *r.keyList) : Code(r.code);
}

std::string CodeOr91(const OpResult& r) {
    if (r.code == code::kPinAndPukLocked) return CodeAnd(r.code, r.keyList.value_or(""));
    return Code(r.code);
}

std::string DecryptRand(const OpResult& r, std::int32_t mode) {
    if (WrongOrBlocked(r.code)) return CodeAnd(r.code, First(r));
    // Bank pages read every other outcome, success included, as this fixed form.
    if (mode == 2 || r.code == code::kPinAndPukLocked) return "0|ffffffffff";
    return "0";
}

}  // namespace result

namespace {

std::string OkOrCode(const OpResult& r) {
    if (r.code != code::kOk) return result::Code(r.code);
    std::string s = "0";
    for (const std::string& f : r.fields) {
        s += '|';
        s += f;
    }
    return s;
}

// The scripting engine's conversions of one argument (VariantChangeType).
struct Converted {
    std::uint32_t hr = 0;
    std::optional<std::string> text;  // for S; none for a null argument
    std::int32_t number = 0;          // for L
};

Converted Convert(const ScriptValue& v, ArgType type) {
    Converted c;
    if (type == ArgType::String) {
        if (const auto* s = std::get_if<std::string>(&v)) c.text = *s;
        if (const auto* n = std::get_if<std::int64_t>(&v)) c.text = std::to_string(*n);
        return c;
    }
    std::int64_t n = 0;
    if (const auto* i = std::get_if<std::int64_t>(&v)) {
        n = *i;
    } else if (const auto* s = std::get_if<std::string>(&v)) {
        std::string_view t = *s;
        while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
        while (!t.empty() && (t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
        if (!t.empty() && t.front() == '+') t.remove_prefix(1);
        const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
        if (t.empty() || end != t.data() + t.size()) {
            c.hr = hresult::kTypeMismatch;
            return c;
        }
        if (ec == std::errc::result_out_of_range) {
            c.hr = hresult::kOverflow;
            return c;
        }
    } else {
        c.hr = hresult::kTypeMismatch;
        return c;
    }
    if (n < std::numeric_limits<std::int32_t>::min() ||
        n > std::numeric_limits<std::int32_t>::max()) {
        c.hr = hresult::kOverflow;
        return c;
    }
    c.number = static_cast<std::int32_t>(n);
    return c;
}

const char* Ptr(const Converted& c) {
    return c.text ? c.text->c_str() : nullptr;
}

}  // namespace

std::string DescribeHresult(std::uint32_t hr) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", hr);
    const char* what = "call failed";
    switch (hr) {
        case hresult::kMemberNotFound:
            what = "no such method";
            break;
        case hresult::kTypeMismatch:
            what = "argument of the wrong type";
            break;
        case hresult::kOverflow:
            what = "integer argument out of range";
            break;
        case hresult::kBadParamCount:
            what = "wrong number of arguments";
            break;
        case hresult::kOutOfMemory:
            what = "out of memory";
            break;
    }
    return std::string(what) + " (" + hex + ")";
}

CVeriquillCtrl::CVeriquillCtrl() {
    comp_.SetSignDialogRunner([](SignSession& session) { return RunSignDialog(session); });
    comp_.SetDeviceFlowUi(std::make_unique<CDeviceFlowDialogs>());
    comp_.SetKeyGenerationRunner(RunKeyGenerationDialog);
}
CVeriquillCtrl::~CVeriquillCtrl() = default;

InvokeResult CVeriquillCtrl::Invoke(int dispid, std::span<const ScriptValue> args) {
    const MethodInfo* m = FindMethod(dispid);
    if (!m) return {hresult::kMemberNotFound, std::nullopt};
    if (args.size() != m->args.size()) return {hresult::kBadParamCount, std::nullopt};

    std::vector<Converted> a;
    a.reserve(args.size());
    for (std::size_t i = 0; i < args.size(); ++i) {
        a.push_back(Convert(args[i], m->args[i]));
        if (a.back().hr) return {a.back().hr, std::nullopt};
    }

    switch (dispid) {
        case 1:
            return {0, SetKey(Ptr(a[0]), Ptr(a[1]), Ptr(a[2]), a[3].number)};
        case 2:
            return {0, Sign(Ptr(a[0]), Ptr(a[1]), Ptr(a[2]))};
        case 3:
            return {0, GenerateKey(Ptr(a[0]))};
        case 4:
            return {0, TestComponent()};
        case 5:
            return {0, ShowKeyboard()};
        case 6:
            SetLanguage(a[0].number);
            return {0, std::nullopt};
        case 7:
            return {0, RemoveKey(Ptr(a[0]))};
        case 8:
            return {0, RegisterCert()};
        case 9:
            return {0, SetSignDialogType(a[0].number)};
        case 10:
            return {0, AddCardModel(Ptr(a[0]))};
        case 11:
            return {0, EncryptRand(Ptr(a[0]), Ptr(a[1]), Ptr(a[2]), a[3].number, Ptr(a[4]))};
        case 12:
            return {0, DecryptRand(Ptr(a[0]), Ptr(a[1]), a[2].number)};
        case 13:
            return {0, ChangeKeyLocation(Ptr(a[0]))};
        case 14:
            return {0, GetKeyLocation(Ptr(a[0]))};
        case 15:
            return {0, SetKeyLocation(Ptr(a[0]), Ptr(a[1]))};
        case 16:
            return {0, InitializeCard()};
        case 17:
            return {0, ChangePIN()};
        case 18:
            return {0, ChangePUK()};
        case 19:
            return {0, UnblockCard()};
        case 20:
            return {0, RemoveKeysFromCard()};
        case 21:
            return {0, RemoveKeysFromSmartCard()};
        case 22:
            return {0, RemoveKeysFromUSBToken()};
    }
    return {hresult::kMemberNotFound, std::nullopt};
}

std::string CVeriquillCtrl::SetKey(const char* keyId, const char* keyNameHex, const char* keyData,
                                   std::int32_t keyKind) {
    return result::Code(comp_.SetKey(keyId, keyNameHex, keyData, keyKind));
}

std::string CVeriquillCtrl::Sign(const char* allowedKeyIds, const char* preselectedKeyId,
                                 const char* orderHex) {
    comp_.EnsureBridge();
    return result::WithKeyId(comp_.SignOperation(allowedKeyIds, preselectedKeyId, orderHex));
}

std::string CVeriquillCtrl::GenerateKey(const char* parameters) {
    const OpResult r = comp_.GenerateKeyOperation(parameters);
    if (r.code == code::kOk && r.fields.size() == 4) {
        return "0|" + r.fields[0] + "|" + std::to_string(r.kind) + "|" + r.fields[1] + "|" +
               r.fields[2] + "|" + r.fields[3];
    }
    return result::CodeOr91(r);
}

std::string CVeriquillCtrl::TestComponent() {
    return std::string("OK|") + kVersionText;
}

std::string CVeriquillCtrl::ShowKeyboard() {
    return OkOrCode(comp_.ShowKeyboard());
}

void CVeriquillCtrl::SetLanguage(std::int32_t language) {
    SetLanguageIndex(language);
}

std::string CVeriquillCtrl::RemoveKey(const char* keyId) {
    return result::Code(comp_.RemoveKey(keyId));
}

std::string CVeriquillCtrl::RegisterCert() {
    return OkOrCode(comp_.RegisterCert());
}

std::string CVeriquillCtrl::SetSignDialogType(std::int32_t type) {
    comp_.SetDialogType(type);
    return "0";
}

std::string CVeriquillCtrl::AddCardModel(const char* modelName) {
    return result::Code(comp_.AddCardModel(modelName));
}

std::string CVeriquillCtrl::EncryptRand(const char* allowedKeyIds, const char* preselectedKeyId,
                                        const char* loginText, std::int32_t mode,
                                        const char* /*extra: no effect on the result*/) {
    comp_.EnsureBridge();
    return result::WithKeyId(
        comp_.EncryptOperation(allowedKeyIds, preselectedKeyId, loginText, mode));
}

std::string CVeriquillCtrl::DecryptRand(const char* allowedKeyIds, const char* messageHex,
                                        std::int32_t mode) {
    comp_.EnsureBridge();
    return result::DecryptRand(comp_.DecryptOperation(allowedKeyIds, messageHex, mode), mode);
}

std::string CVeriquillCtrl::ChangeKeyLocation(const char* keyId) {
    return OkOrCode(comp_.ChangeKeyLocation(keyId));
}

std::string CVeriquillCtrl::GetKeyLocation(const char* keyId) {
    std::string hex;
    const int code = comp_.GetKeyLocation(keyId, hex);
    return code == code::kOk ? "0|" + hex : result::Code(code);
}

std::string CVeriquillCtrl::SetKeyLocation(const char* keyId, const char* pathHex) {
    return result::Code(comp_.SetKeyLocation(keyId, pathHex));
}

std::string CVeriquillCtrl::InitializeCard() {
    return result::WithKeyList(comp_.InitializeCardOperation());
}
std::string CVeriquillCtrl::ChangePIN() {
    return result::CodeOr91(comp_.ChangePinOperation());
}
std::string CVeriquillCtrl::ChangePUK() {
    return result::CodeOr91(comp_.ChangePukOperation());
}
std::string CVeriquillCtrl::UnblockCard() {
    return result::CodeOr91(comp_.UnblockCardOperation());
}
std::string CVeriquillCtrl::RemoveKeysFromCard() {
    return result::WithKeyList(comp_.RemoveKeysOperation(DeviceKind::Any));
}
std::string CVeriquillCtrl::RemoveKeysFromSmartCard() {
    return result::WithKeyList(comp_.RemoveKeysOperation(DeviceKind::SmartCard));
}
std::string CVeriquillCtrl::RemoveKeysFromUSBToken() {
    return result::WithKeyList(comp_.RemoveKeysOperation(DeviceKind::UsbToken));
}

}  // namespace vq
