#include "hosts/veriquill/script_line.h"

#include <charconv>

#include "platform/ui/json_line.h"

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

ParseError Error(std::size_t pos, std::string message) {
    return {pos + 1, std::move(message)};
}

}  // namespace

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
                auto str = ui::DecodeJsonString(s, pos, &error);
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
