// The messages between the browser extension and the native host.
//
// extension -> host
//   {"type":"open","origin":"https://bank.example","language":1}   first message; language optional
//   {"type":"call","id":7,"method":"Sign","args":["a","b","C0FFEE"]}
// host -> extension
//   {"type":"opened","version":"1,3,0,90"}
//   {"type":"refused","error":"..."}                    the page may not use the component
//   {"type":"result","id":7,"value":"0|a|ABCD..."}       value null for SetLanguage
//   {"type":"error","id":7,"error":"..."}                id null when the message had none
//   {"type":"script","function":"componentWKPEvent","args":["","k1","Jan","1"]}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "control/veriquill_ctrl.h"

namespace vq::nm {

struct OpenRequest {
    std::string origin;
    std::optional<std::int32_t> language;
};

// Arguments as JSON gave them: strings still UTF-8.
struct CallRequest {
    std::int64_t id = 0;
    std::string method;
    std::vector<ScriptValue> args;
};

struct BadRequest {
    std::optional<std::int64_t> id;  // when the message carried a usable one
    std::string error;
};

using Request = std::variant<OpenRequest, CallRequest, BadRequest>;

// Parses one message. Malformed JSON (invalid UTF-8 included), a missing or unknown type, a
// missing id or method, and arguments that are not strings, integers or null give BadRequest.
Request ParseRequest(std::string_view json);

std::string OpenedReply(std::string_view versionText);
std::string RefusedReply(std::string_view error);
// `value` is UTF-8; none for a method without a result.
std::string ResultReply(std::int64_t id, const std::optional<std::string>& value);
std::string ErrorReply(std::optional<std::int64_t> id, std::string_view error);
// `args` in calling order, UTF-8.
std::string ScriptCall(std::string_view function, const std::vector<std::string>& args);

}  // namespace vq::nm
