// Who may talk to the native host: the extension that started it, and pages of allowed origins.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vq::nm {

// The name browsers know the host by, and the extension's fixed identifiers. The Chromium
// identifier follows from the public key in the extension's manifest: never change one without
// the other.
inline constexpr const char* kHostName = "com.brantwell.veriquill";
inline constexpr const char* kChromiumExtensionId = "jjnhdbfhfgjpiajpomnpebcebdncpmnf";
inline constexpr const char* kFirefoxExtensionId = "veriquill@brantwell.com";

// The machine's list of page origins that may use the component: a multi-string value.
inline constexpr const char* kConfigKey = "SOFTWARE\\Brantwell\\Veriquill";
inline constexpr const char* kAllowedOriginsValue = "AllowedOrigins";

enum class Caller { kChromium, kFirefox, kUnknown };

// Chromium-family browsers start the host with the caller's origin "chrome-extension://ID/";
// Firefox with the manifest's path and the extension's identifier. `args` excludes argv[0].
Caller IdentifyCaller(std::span<const std::string> args);

// "https://host[:port]" with the host in lower case and the default port dropped; nothing for
// anything else (other schemes, paths, user names, empty hosts, bad ports).
std::optional<std::string> NormalizeHttpsOrigin(std::string_view origin);

// Reads the allow-list from the machine registry. Entries that are not https origins are left
// out and named in `ignored`. A missing key or value is an empty list (no page may use the
// component); an unreadable registry file sets `error`.
std::vector<std::string> LoadAllowedOrigins(std::vector<std::string>& ignored, std::string& error);

bool OriginAllowed(std::string_view origin, const std::vector<std::string>& allowed);

}  // namespace vq::nm
