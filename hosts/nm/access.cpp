#include "hosts/nm/access.h"

#include <algorithm>
#include <cctype>

#include "platform/registry/registry.h"

namespace vq::nm {

Caller IdentifyCaller(std::span<const std::string> args) {
    if (args.empty()) return Caller::kUnknown;
    if (args[0] == std::string("chrome-extension://") + kChromiumExtensionId + "/")
        return Caller::kChromium;
    if (args.size() >= 2 && args[1] == kFirefoxExtensionId) return Caller::kFirefox;
    return Caller::kUnknown;
}

std::optional<std::string> NormalizeHttpsOrigin(std::string_view origin) {
    constexpr std::string_view kScheme = "https://";
    if (origin.size() <= kScheme.size()) return std::nullopt;
    std::string lower(origin);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!lower.starts_with(kScheme)) return std::nullopt;
    std::string_view rest = std::string_view(lower).substr(kScheme.size());
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);

    std::string_view host = rest;
    std::string_view port;
    if (rest.starts_with('[')) {  // IPv6 literal
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos || close < 2) return std::nullopt;
        host = rest.substr(0, close + 1);
        for (char c : host.substr(1, host.size() - 2))
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
                return std::nullopt;
        rest.remove_prefix(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return std::nullopt;
            port = rest.substr(1);
            if (port.empty()) return std::nullopt;
        }
    } else {
        const std::size_t colon = rest.find(':');
        if (colon != std::string_view::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
            if (port.empty()) return std::nullopt;
        }
        if (host.empty() || host.front() == '.' || host.front() == '-') return std::nullopt;
        for (char c : host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-')
                return std::nullopt;
    }
    if (!port.empty()) {
        if (port.size() > 5) return std::nullopt;
        unsigned long p = 0;
        for (char c : port) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            p = p * 10 + static_cast<unsigned long>(c - '0');
        }
        if (p == 0 || p > 65535) return std::nullopt;
        if (p == 443) port = {};
    }
    std::string out = "https://";
    out += host;
    if (!port.empty()) {
        out += ':';
        // Leading zeros would make two spellings of one port.
        out += std::to_string(std::stoul(std::string(port)));
    }
    return out;
}

std::vector<std::string> LoadAllowedOrigins(std::vector<std::string>& ignored, std::string& error) {
    std::vector<std::string> out;
    reg::KeyPtr key;
    long rc = reg::OpenKey(reg::Root::LocalMachine, kConfigKey, reg::kKeyRead, key);
    if (rc == reg::kErrorFileNotFound) return out;
    if (rc != reg::kErrorSuccess) {
        error =
            "cannot open HKLM\\" + std::string(kConfigKey) + " (error " + std::to_string(rc) + ")";
        return out;
    }
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    rc = reg::QueryValue(*key, kAllowedOriginsValue, &type, nullptr, &size);
    if (rc == reg::kErrorFileNotFound) return out;
    if (rc != reg::kErrorSuccess && rc != reg::kErrorMoreData) {
        error = std::string("cannot read ") + kAllowedOriginsValue + " (error " +
                std::to_string(rc) + ")";
        return out;
    }
    std::string data(size, '\0');
    rc = reg::QueryValue(*key, kAllowedOriginsValue, &type,
                         reinterpret_cast<unsigned char*>(data.data()), &size);
    if (rc != reg::kErrorSuccess) {
        error = std::string("cannot read ") + kAllowedOriginsValue + " (error " +
                std::to_string(rc) + ")";
        return out;
    }
    data.resize(size);
    if (type != reg::kRegMultiSz && type != reg::kRegSz) {
        error = std::string(kAllowedOriginsValue) + " is not a string value";
        return out;
    }
    // Strings separated by zero bytes; an empty one ends the list.
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t end = data.find('\0', pos);
        if (end == std::string::npos) end = data.size();
        const std::string entry = data.substr(pos, end - pos);
        if (entry.empty()) break;
        if (auto o = NormalizeHttpsOrigin(entry))
            out.push_back(std::move(*o));
        else
            ignored.push_back(entry);
        pos = end + 1;
    }
    return out;
}

bool OriginAllowed(std::string_view origin, const std::vector<std::string>& allowed) {
    const auto o = NormalizeHttpsOrigin(origin);
    return o && std::find(allowed.begin(), allowed.end(), *o) != allowed.end();
}

}  // namespace vq::nm
