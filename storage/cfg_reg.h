// A named registry key, opened or created on first use, read and written as string values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/registry/registry.h"

namespace vq {

class CCfgReg {
public:
    CCfgReg(reg::Root root, const char* subKey);
    virtual ~CCfgReg();
    CCfgReg(const CCfgReg&) = delete;
    CCfgReg& operator=(const CCfgReg&) = delete;

    // 1 when the key is open, 0 otherwise. Write access first, read-only as fallback.
    int OpenOrCreateKey();
    // Raw data of a value into the caller's buffer; `size` is capacity in, length out. 1 or 0.
    int GetParam(const char* name, unsigned char* buffer, std::uint32_t* size);
    // Allocating form: at most 1024 bytes; on success `out` holds the data plus one zero byte.
    // 0 on success, 509 on failure; 0 with `out` untouched when there is no name or no key.
    int GetParam(const char* name, std::optional<std::string>& out);
    // Stores the text as a string value, terminating zero included. 1 or 0.
    int SetParam(const char* name, const char* text);

    long lastError() const { return lastError_; }
    const std::string& lastErrorText() const { return lastErrorText_; }

private:
    void RecordError(const char* operation, const char* argument, long code);

    reg::Root root_;
    reg::KeyPtr key_;
    std::optional<std::string> subKey_;
    long lastError_ = 0;
    std::string lastErrorText_;
};

// Reads the machine-wide reader driver configuration (HKEY_LOCAL_MACHINE
// "SOFTWARE\Brantwell\SmartCard\Components"). Stateless: create it on the stack.
class CKeywrightUtils {
public:
    bool UsbTokensEnabled() const;   // "GemPCKey USB" reads exactly "1"
    bool SmartCardsEnabled() const;  // "GemPCTwin USB" reads exactly "1"
    // The answer-to-reset (as bytes) matches an entry of the "Tokens" list.
    bool IsToken(const unsigned char* atr, std::size_t atrLength) const;
};

// The process-wide device configuration object, opened when first used.
CCfgReg& DeviceConfiguration();
// Reads a device-configuration value into an 8096-byte buffer; nothing on failure.
std::optional<std::string> ReadDeviceValue(const char* name);

inline constexpr const char* kDeviceConfigKey = "SOFTWARE\\Brantwell\\SmartCard\\Components";
inline constexpr const char* kKeyLocationsKey = "Software\\Brantwell\\Marlow\\Keys";

}  // namespace vq
