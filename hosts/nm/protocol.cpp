#include "hosts/nm/protocol.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace vq::nm {
namespace {

using nlohmann::json;

// Largest integer a browser's number carries exactly.
constexpr double kMaxExactInteger = 9007199254740991.0;

std::optional<ScriptValue> ToScriptValue(const json& v) {
    if (v.is_null()) return ScriptValue{std::monostate{}};
    if (v.is_string()) return ScriptValue{v.get<std::string>()};
    if (v.is_number_integer()) {
        if (v.is_number_unsigned() &&
            v.get<std::uint64_t>() >
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return ScriptValue{v.get<std::int64_t>()};
    }
    if (v.is_number_float()) {
        // Scripts have only one kind of number: 2.0 is the integer 2.
        const double d = v.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) <= kMaxExactInteger)
            return ScriptValue{static_cast<std::int64_t>(d)};
    }
    return std::nullopt;
}

std::optional<std::int64_t> IdOf(const json& msg) {
    const auto it = msg.find("id");
    if (it == msg.end() || !it->is_number_integer()) return std::nullopt;
    if (it->is_number_unsigned() &&
        it->get<std::uint64_t>() >
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return std::nullopt;
    return it->get<std::int64_t>();
}

std::string Dump(const json& j) {
    // Every text we send is valid UTF-8 already; replace rather than throw should one not be.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace

Request ParseRequest(std::string_view text) {
    json msg = json::parse(text, nullptr, false);
    if (msg.is_discarded()) return BadRequest{std::nullopt, "malformed message: not valid JSON"};
    if (!msg.is_object()) return BadRequest{std::nullopt, "malformed message: not a JSON object"};
    const auto type = msg.find("type");
    if (type == msg.end() || !type->is_string())
        return BadRequest{IdOf(msg), "malformed message: no type"};
    const std::string& t = type->get_ref<const std::string&>();

    if (t == "open") {
        const auto origin = msg.find("origin");
        if (origin == msg.end() || !origin->is_string())
            return BadRequest{std::nullopt, "open: no origin"};
        OpenRequest open{origin->get<std::string>(), std::nullopt};
        const auto lang = msg.find("language");
        if (lang != msg.end() && !lang->is_null()) {
            if (!lang->is_number_integer() || lang->get<std::int64_t>() < -2147483648LL ||
                lang->get<std::int64_t>() > 2147483647LL)
                return BadRequest{std::nullopt, "open: language is not an integer"};
            open.language = static_cast<std::int32_t>(lang->get<std::int64_t>());
        }
        return open;
    }
    if (t == "call") {
        const std::optional<std::int64_t> id = IdOf(msg);
        if (!id) return BadRequest{std::nullopt, "call: no id"};
        const auto method = msg.find("method");
        if (method == msg.end() || !method->is_string())
            return BadRequest{id, "call: no method name"};
        CallRequest call{*id, method->get<std::string>(), {}};
        const auto args = msg.find("args");
        if (args != msg.end() && !args->is_null()) {
            if (!args->is_array()) return BadRequest{id, "call: args is not an array"};
            for (std::size_t i = 0; i < args->size(); ++i) {
                auto v = ToScriptValue((*args)[i]);
                if (!v)
                    return BadRequest{id, call.method + ": argument " + std::to_string(i + 1) +
                                              " is neither a string, an integer nor null"};
                call.args.push_back(std::move(*v));
            }
        }
        return call;
    }
    return BadRequest{IdOf(msg), "malformed message: unknown type \"" + t + "\""};
}

std::string OpenedReply(std::string_view versionText) {
    return Dump({{"type", "opened"}, {"version", versionText}});
}

std::string RefusedReply(std::string_view error) {
    return Dump({{"type", "refused"}, {"error", error}});
}

std::string ResultReply(std::int64_t id, const std::optional<std::string>& value) {
    json j = {{"type", "result"}, {"id", id}, {"value", nullptr}};
    if (value) j["value"] = *value;
    return Dump(j);
}

std::string ErrorReply(std::optional<std::int64_t> id, std::string_view error) {
    json j = {{"type", "error"}, {"id", nullptr}, {"error", error}};
    if (id) j["id"] = *id;
    return Dump(j);
}

std::string ScriptCall(std::string_view function, const std::vector<std::string>& args) {
    return Dump({{"type", "script"}, {"function", function}, {"args", args}});
}

}  // namespace vq::nm
