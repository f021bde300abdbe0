// The control's dispatch interface: 22 methods, identifiers 1..22 in table order.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace vq {

enum class ArgType : std::uint8_t { String, Long };

struct MethodInfo {
    int dispid;
    std::string_view name;
    std::span<const ArgType> args;
    bool returnsString;  // all but SetLanguage
};

std::span<const MethodInfo> MethodTable();
// Name lookup as the dispatch interface does it: case-insensitive. Null when unknown.
const MethodInfo* FindMethod(std::string_view name);
const MethodInfo* FindMethod(int dispid);

// Whether the method may show a window (a dialog, message box or file dialog). The few that never
// do (declaring keys, the language, key locations, card models, the component test) let a host
// leave the window system unstarted.
bool MayOpenWindows(const MethodInfo& method);

}  // namespace vq
