#include "storage/cfg_reg.h"

#include <cstring>
#include <span>
#include <vector>

#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

constexpr std::uint32_t kReadWrite = reg::kKeyRead | reg::kKeyWrite;  // 0x2001F
constexpr std::uint32_t kLocationCapacity = 1024;
constexpr std::uint32_t kDeviceValueCapacity = 8096;
constexpr std::size_t kMessageCapacity = 2048;

// The text up to the first zero byte, as a C string comparison would see it.
std::string_view CText(const std::string& data) {
    return std::string_view(data.data(), ::strnlen(data.data(), data.size()));
}

}  // namespace

CCfgReg::CCfgReg(reg::Root root, const char* subKey) : root_(root) {
    if (subKey) subKey_ = subKey;
}

CCfgReg::~CCfgReg() = default;

int CCfgReg::OpenOrCreateKey() {
    if (key_) return 1;
    if (!subKey_ || subKey_->empty()) return 0;
    reg::KeyPtr key;
    // Full access first; when only reading is allowed (a machine-wide file), read-only.
    if (reg::CreateKey(root_, *subKey_, kReadWrite, key) == reg::kErrorSuccess) {
        key_ = std::move(key);
        return 1;
    }
    const long rc = reg::CreateKey(root_, *subKey_, reg::kKeyRead, key);
    if (rc == reg::kErrorSuccess) {
        key_ = std::move(key);
        return 1;
    }
    RecordError("OpenOrCreateKey", subKey_->c_str(), rc);
    return 0;
}

int CCfgReg::GetParam(const char* name, unsigned char* buffer, std::uint32_t* size) {
    if (!OpenOrCreateKey()) return 0;
    const long rc = reg::QueryValue(*key_, name ? name : "", nullptr, buffer, size);
    if (rc != reg::kErrorSuccess) {
        RecordError("GetParam", name, rc);
        return 0;
    }
    return 1;
}

int CCfgReg::GetParam(const char* name, std::optional<std::string>& out) {
    if (!name || !OpenOrCreateKey()) return code::kOk;
    std::vector<unsigned char> buffer(kLocationCapacity);
    std::uint32_t size = kLocationCapacity;
    if (!GetParam(name, buffer.data(), &size)) return code::kNoLocation;
    std::string text(reinterpret_cast<const char*>(buffer.data()), size);
    text.push_back('\0');
    out = std::move(text);
    return code::kOk;
}

int CCfgReg::SetParam(const char* name, const char* text) {
    if (!name || !text || !OpenOrCreateKey()) return 0;
    const auto length = static_cast<std::uint32_t>(std::strlen(text) + 1);
    const long rc = reg::SetValue(*key_, name, reg::kRegSz,
                                  reinterpret_cast<const unsigned char*>(text), length);
    if (rc != reg::kErrorSuccess) {
        RecordError("SetParam", name, rc);
        return 0;
    }
    return 1;
}

void CCfgReg::RecordError(const char* operation, const char* argument, long code) {
    lastError_ = code;
    std::string message = reg::FormatMessage(code);
    if (message.size() > kMessageCapacity - 1) message.resize(kMessageCapacity - 1);
    std::string text = operation;
    if (argument) {
        text += '(';
        text += argument;
        text += ')';
    } else {
        text += "()";
    }
    text += " failed, error #" + std::to_string(static_cast<std::int32_t>(code)) + " - " + message;
    lastErrorText_ = std::move(text);
}

CCfgReg& DeviceConfiguration() {
    static CCfgReg config(reg::Root::LocalMachine, kDeviceConfigKey);
    return config;
}

std::optional<std::string> ReadDeviceValue(const char* name) {
    std::vector<unsigned char> buffer(kDeviceValueCapacity);
    std::uint32_t size = kDeviceValueCapacity;
    if (!DeviceConfiguration().GetParam(name, buffer.data(), &size)) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(buffer.data()), size);
}

bool CKeywrightUtils::UsbTokensEnabled() const {
    const auto value = ReadDeviceValue("GemPCKey USB");
    return value && CText(*value) == "1";
}

bool CKeywrightUtils::SmartCardsEnabled() const {
    const auto value = ReadDeviceValue("GemPCTwin USB");
    return value && CText(*value) == "1";
}

bool CKeywrightUtils::IsToken(const unsigned char* atr, std::size_t atrLength) const {
    if (!atr || atrLength == 0) return false;
    const std::string wanted = HexEncode(std::span(atr, atrLength));
    const auto list = ReadDeviceValue("Tokens");
    if (!list) return false;
    // Walk the strings up to the empty one, never past the data read: a list whose final zero
    // bytes are missing ends where the data ends.
    std::string_view rest(*list);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\0');
        const std::string_view entry = rest.substr(0, end);
        if (entry.empty()) break;
        if (entry == wanted) return true;
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    return false;
}

}  // namespace vq
