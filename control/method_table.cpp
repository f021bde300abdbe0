#include "control/method_table.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace vq {
namespace {

constexpr ArgType S = ArgType::String;
constexpr ArgType L = ArgType::Long;

constexpr std::array<ArgType, 0> kNone{};
constexpr std::array kS{S};
constexpr std::array kL{L};
constexpr std::array kSS{S, S};
constexpr std::array kSSS{S, S, S};
constexpr std::array kSSSL{S, S, S, L};
constexpr std::array kSSL{S, S, L};
constexpr std::array kSSSLS{S, S, S, L, S};

constexpr std::array<MethodInfo, 22> kMethods = {{
    {1, "SetKey", kSSSL, true},
    {2, "Sign", kSSS, true},
    {3, "GenerateKey", kS, true},
    {4, "TestComponent", kNone, true},
    {5, "ShowKeyboard", kNone, true},
    {6, "SetLanguage", kL, false},
    {7, "RemoveKey", kS, true},
    {8, "RegisterCert", kNone, true},
    {9, "SetSignDialogType", kL, true},
    {10, "AddCardModel", kS, true},
    {11, "EncryptRand", kSSSLS, true},
    {12, "DecryptRand", kSSL, true},
    {13, "ChangeKeyLocation", kS, true},
    {14, "GetKeyLocation", kS, true},
    {15, "SetKeyLocation", kSS, true},
    {16, "InitializeCard", kNone, true},
    {17, "ChangePIN", kNone, true},
    {18, "ChangePUK", kNone, true},
    {19, "UnblockCard", kNone, true},
    {20, "RemoveKeysFromCard", kNone, true},
    {21, "RemoveKeysFromSmartCard", kNone, true},
    {22, "RemoveKeysFromUSBToken", kNone, true},
}};

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::span<const MethodInfo> MethodTable() {
    return kMethods;
}

const MethodInfo* FindMethod(std::string_view name) {
    for (const MethodInfo& m : kMethods)
        if (EqualsNoCase(m.name, name)) return &m;
    return nullptr;
}

const MethodInfo* FindMethod(int dispid) {
    if (dispid < 1 || dispid > static_cast<int>(kMethods.size())) return nullptr;
    return &kMethods[static_cast<std::size_t>(dispid - 1)];
}

bool MayOpenWindows(const MethodInfo& method) {
    static constexpr std::string_view kWindowless[] = {
        "SetKey",       "TestComponent",  "SetLanguage",    "RemoveKey", "SetSignDialogType",
        "AddCardModel", "GetKeyLocation", "SetKeyLocation",
    };
    return std::ranges::find(kWindowless, method.name) == std::end(kWindowless);
}

}  // namespace vq
