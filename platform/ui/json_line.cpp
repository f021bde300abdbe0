#include "platform/ui/json_line.h"

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

}  // namespace

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
