// Feeds arbitrary text to the automation script parser, line by line and as a whole script.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ui/json_line.h"
#include "platform/ui/ui_script.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    vq::ui::UiScript script;
    std::string error;
    if (script.Load(text, error)) {
        while (const vq::ui::ScriptCommand* c = script.Next()) {
            // Every parsed text is well-formed UTF-8, ready for Qt and the transcript.
            if (!vq::ui::IsValidUtf8(c->text)) __builtin_trap();
            if (c->line < 1) __builtin_trap();
        }
    }
    std::size_t pos = 0;
    std::string out;
    vq::ui::ParseJsonString(text, pos, out);
    return 0;
}
