// One line of a page script as the script host reads it: `Name(arg, ...)` with double-quoted
// strings (JSON escapes, UTF-8) and decimal integers, or a host directive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vq::host {

// An argument as written: UTF-8 text, an integer, or null.
using ScriptArg = std::variant<std::monostate, std::string, std::int64_t>;

struct ScriptCall {
    std::string name;
    std::vector<ScriptArg> args;
};

// `page function NAME`: the page defines a script function the control may call.
struct PageFunction {
    std::string name;
};

struct Blank {};

using ScriptLine = std::variant<Blank, ScriptCall, PageFunction>;

struct ParseError {
    std::size_t column;  // 1-based
    std::string message;
};

// Parses one line; blank lines and lines starting with '#' give Blank.
std::variant<ScriptLine, ParseError> ParseScriptLine(std::string_view line);

}  // namespace vq::host
