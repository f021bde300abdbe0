#include "platform/ui/json_line.h"

#include <charconv>
#include <cstdio>

namespace vq::ui {
namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    std::size_t n;
    unsigned cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::optional<char32_t> Hex4(std::string_view s, std::size_t pos) {
    if (pos + 4 > s.size()) return std::nullopt;
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(s.data() + pos, s.data() + pos + 4, value, 16);
    if (ec != std::errc() || end != s.data() + pos + 4) return std::nullopt;
    return static_cast<char32_t>(value);
}

// The character a one-letter escape stands for, or 0 for an unknown escape.
char SimpleEscape(char c) {
    switch (c) {
        case '"':
        case '\\':
        case '/':
            return c;
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        default:
            return 0;
    }
}

}  // namespace

std::optional<std::string> DecodeJsonString(std::string_view s, std::size_t& pos,
                                            std::string* error) {
    auto fail = [&](const char* message) -> std::optional<std::string> {
        if (error) *error = message;
        return std::nullopt;
    };
    if (pos >= s.size() || s[pos] != '"') return fail("expected '\"'");
    std::string out;
    for (std::size_t i = pos + 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            pos = i + 1;
            return out;
        }
        if (static_cast<unsigned char>(c) < 0x20) return fail("control character in string");
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= s.size()) break;
        if (s[i] != 'u') {
            const char plain = SimpleEscape(s[i]);
            if (!plain) return fail("unknown escape");
            out += plain;
            continue;
        }
        auto cp = Hex4(s, i + 1);
        if (!cp) return fail("bad \\u escape");
        i += 4;
        if (*cp >= 0xD800 && *cp < 0xDC00) {
            // A high surrogate must be followed by its low half.
            if (i + 2 >= s.size() || s[i + 1] != '\\' || s[i + 2] != 'u')
                return fail("unpaired surrogate");
            auto low = Hex4(s, i + 3);
            if (!low || *low < 0xDC00 || *low > 0xDFFF) return fail("unpaired surrogate");
            i += 6;
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
        } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
            return fail("unpaired surrogate");
        }
        AppendUtf8(out, *cp);
    }
    return fail("unterminated string");
}

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8Length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string JsonQuote(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const std::size_t n = Utf8Length(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(s.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    out += '"';
    return out;
}

void JsonLine::Key(std::string_view key) {
    if (!fields_.empty()) fields_ += ',';
    fields_ += JsonQuote(key);
    fields_ += ':';
}

JsonLine& JsonLine::Str(std::string_view key, std::string_view utf8) {
    Key(key);
    fields_ += JsonQuote(utf8);
    return *this;
}

JsonLine& JsonLine::Int(std::string_view key, long long value) {
    Key(key);
    fields_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Bool(std::string_view key, bool value) {
    Key(key);
    fields_ += value ? "true" : "false";
    return *this;
}

JsonLine& JsonLine::Null(std::string_view key) {
    Key(key);
    fields_ += "null";
    return *this;
}

JsonLine& JsonLine::Raw(std::string_view key, std::string_view json) {
    Key(key);
    fields_ += json;
    return *this;
}

std::string JsonLine::Object(std::string_view event) const {
    std::string out = "{\"event\":" + JsonQuote(event);
    if (!fields_.empty()) out += "," + fields_;
    out += "}";
    return out;
}

}  // namespace vq::ui
