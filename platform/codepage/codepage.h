// Conversion between UTF-8 (the host side) and 8-bit code pages (inside the component), over iconv.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vq::cp {

// The component's ANSI code page: "CP1250" unless VERIQUILL_ANSI_CODEPAGE names another.
const std::string& AnsiCodePage();

// UTF-8 -> code page. Characters the code page cannot hold become '?', as the scripting engine's
// conversion did; invalid UTF-8 gives nothing.
std::optional<std::string> FromUtf8(std::string_view utf8, const std::string& codePage);
// Code page -> UTF-8. Bytes the code page leaves undefined (0x81 in CP1250, for one) become
// U+FFFD, so no byte is silently lost.
std::string ToUtf8(std::string_view bytes, const std::string& codePage);

// Exact conversions, for names that must find the same file again: nothing when a character has
// no place in the target page, a byte no character in the source page, or the input is malformed.
// UTF-8 input must also come back unchanged, so that a character the page only approximates (a
// decomposed accent, a compatibility form) is refused rather than turned into another name.
std::optional<std::string> FromUtf8Exact(std::string_view utf8, const std::string& codePage);
std::optional<std::string> ToUtf8Exact(std::string_view bytes, const std::string& codePage);

inline std::optional<std::string> Utf8ToAnsi(std::string_view s) {
    return FromUtf8(s, AnsiCodePage());
}
inline std::string AnsiToUtf8(std::string_view s) {
    return ToUtf8(s, AnsiCodePage());
}

}  // namespace vq::cp
