// The control the page creates: 22 scriptable methods over one key-operations component.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "operations/keys_storage_comp.h"

namespace vq {

// Failures the dispatch interface reports to the scripting layer instead of a result string.
namespace hresult {
inline constexpr std::uint32_t kMemberNotFound = 0x80020003;
inline constexpr std::uint32_t kTypeMismatch = 0x80020005;
inline constexpr std::uint32_t kUnknownName = 0x80020006;
inline constexpr std::uint32_t kOverflow = 0x8002000A;
inline constexpr std::uint32_t kBadParamCount = 0x8002000E;
inline constexpr std::uint32_t kOutOfMemory = 0x8007000E;
}  // namespace hresult

// A script value as the scripting engine hands it over: null/undefined, an 8-bit string
// (already in the ANSI code page) or a number.
using ScriptValue = std::variant<std::monostate, std::string, std::int64_t>;

// What a dispatch failure means, for the hosts' error messages: "wrong number of arguments
// (0x8002000E)".
std::string DescribeHresult(std::uint32_t hr);

struct InvokeResult {
    std::uint32_t hr = 0;              // 0, or one of the hresult codes
    std::optional<std::string> value;  // the result text; none for SetLanguage or on failure
};

// Version reported by TestComponent.
inline constexpr const char* kVersionText = "1,3,0,90";

class CVeriquillCtrl {
  public:
    CVeriquillCtrl();
    ~CVeriquillCtrl();
    CVeriquillCtrl(const CVeriquillCtrl&) = delete;
    CVeriquillCtrl& operator=(const CVeriquillCtrl&) = delete;

    // Calls method `dispid` with the script's arguments, converting them as the dispatch
    // interface does (number <-> decimal text); wrong count or type fails with an hresult.
    InvokeResult Invoke(int dispid, std::span<const ScriptValue> args);

    // The methods; null pointers stand for missing (null) string arguments.
    std::string SetKey(const char* keyId, const char* keyNameHex, const char* keyData,
                       std::int32_t keyKind);
    std::string Sign(const char* allowedKeyIds, const char* preselectedKeyId, const char* orderHex);
    std::string GenerateKey(const char* parameters);
    std::string TestComponent();
    std::string ShowKeyboard();
    void SetLanguage(std::int32_t language);
    std::string RemoveKey(const char* keyId);
    std::string RegisterCert();
    std::string SetSignDialogType(std::int32_t type);
    std::string AddCardModel(const char* modelName);
    std::string EncryptRand(const char* allowedKeyIds, const char* preselectedKeyId,
                            const char* loginText, std::int32_t mode, const char* extra);
    std::string DecryptRand(const char* allowedKeyIds, const char* messageHex, std::int32_t mode);
    std::string ChangeKeyLocation(const char* keyId);
    std::string GetKeyLocation(const char* keyId);
    std::string SetKeyLocation(const char* keyId, const char* pathHex);
    std::string InitializeCard();
    std::string ChangePIN();
    std::string ChangePUK();
    std::string UnblockCard();
    std::string RemoveKeysFromCard();
    std::string RemoveKeysFromSmartCard();
    std::string RemoveKeysFromUSBToken();

    // The page that hosts the control; none outside a browser.
    void SetClientSite(IClientSite* site) { comp_.SetClientSite(site); }

    CKeysStorageComp& component() { return comp_; }

  private:
    CKeysStorageComp comp_;
};

// Result formats shared by the methods (exposed for tests).
namespace result {
std::string Code(int code);
std::string WithKeyId(const OpResult& r);    // Sign, EncryptRand
std::string WithKeyList(const OpResult& r);  // device management with a key list
std::string CodeOr91(const OpResult& r);     // ChangePIN, ChangePUK, UnblockCard
std::string DecryptRand(const OpResult& r, std::int32_t mode);
}  // namespace result

}  // namespace vq
