#include "hosts/veriquill/script_line.h"

#include <charconv>

namespace vq::host {
namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
bool IsIdentStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsIdent(char c) {
    return IsIdentStart(c) || (c >= '0' && c <= '9');
}

void SkipSpace(std::string_view s, std::size_t& pos) {
    while (pos < s.size() && IsSpace(s[pos])) ++pos;
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

ParseError Error(std::size_t pos, std::string message) {
    return {pos + 1, std::move(message)};
}

}  // namespace

std::optional<std::string> ParseJsonString(std::string_view s, std::size_t& pos,
                                           std::string* error) {
    auto fail = [&](std::string message) -> std::optional<std::string> {
        if (error) *error = std::move(message);
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
        switch (s[i]) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
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
                break;
            }
            default:
                return fail("unknown escape");
        }
    }
    return fail("unterminated string");
}

std::variant<ScriptLine, ParseError> ParseScriptLine(std::string_view s) {
    std::size_t pos = 0;
    SkipSpace(s, pos);
    if (pos == s.size() || s[pos] == '#') return ScriptLine{Blank{}};

    if (!IsIdentStart(s[pos])) return Error(pos, "expected a method name");
    const std::size_t nameStart = pos;
    while (pos < s.size() && IsIdent(s[pos])) ++pos;
    std::string name(s.substr(nameStart, pos - nameStart));

    if (name == "page") {
        SkipSpace(s, pos);
        const std::size_t wordStart = pos;
        while (pos < s.size() && IsIdent(s[pos])) ++pos;
        if (s.substr(wordStart, pos - wordStart) != "function")
            return Error(wordStart, "expected 'page function NAME'");
        SkipSpace(s, pos);
        const std::size_t fnStart = pos;
        if (pos == s.size() || !IsIdentStart(s[pos])) return Error(pos, "expected a function name");
        while (pos < s.size() && IsIdent(s[pos])) ++pos;
        std::string fn(s.substr(fnStart, pos - fnStart));
        SkipSpace(s, pos);
        if (pos != s.size()) return Error(pos, "unexpected text after the function name");
        return ScriptLine{PageFunction{std::move(fn)}};
    }

    SkipSpace(s, pos);
    if (pos == s.size() || s[pos] != '(') return Error(pos, "expected '('");
    ++pos;
    ScriptCall call{std::move(name), {}};
    SkipSpace(s, pos);
    if (pos < s.size() && s[pos] == ')') {
        ++pos;
    } else {
        for (;;) {
            SkipSpace(s, pos);
            if (pos == s.size()) return Error(pos, "missing ')'");
            if (s[pos] == '"') {
                std::string error;
                const std::size_t at = pos;
                auto str = ParseJsonString(s, pos, &error);
                if (!str) return Error(at, error);
                call.args.emplace_back(std::move(*str));
            } else if (s.substr(pos, 4) == "null" &&
                       (pos + 4 == s.size() || !IsIdent(s[pos + 4]))) {
                call.args.emplace_back(std::monostate{});
                pos += 4;
            } else {
                std::int64_t n = 0;
                const char* begin = s.data() + pos;
                const auto [end, ec] = std::from_chars(begin, s.data() + s.size(), n);
                if (end == begin) return Error(pos, "expected a string, an integer or null");
                if (ec == std::errc::result_out_of_range) return Error(pos, "integer out of range");
                if (end < s.data() + s.size() && IsIdent(*end))
                    return Error(pos, "expected a string, an integer or null");
                pos += static_cast<std::size_t>(end - begin);
                call.args.emplace_back(n);
            }
            SkipSpace(s, pos);
            if (pos < s.size() && s[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < s.size() && s[pos] == ')') {
                ++pos;
                break;
            }
            return Error(pos, "expected ',' or ')'");
        }
    }
    SkipSpace(s, pos);
    if (pos < s.size() && s[pos] == ';') ++pos;
    SkipSpace(s, pos);
    if (pos != s.size()) return Error(pos, "unexpected text after the call");
    return ScriptLine{std::move(call)};
}

}  // namespace vq::host
