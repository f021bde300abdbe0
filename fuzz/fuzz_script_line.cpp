// Page-script lines as the script host reads them.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hosts/veriquill/script_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    auto parsed = vq::host::ParseScriptLine(line);
    if (auto* e = std::get_if<vq::host::ParseError>(&parsed)) {
        if (e->column == 0 || e->column > size + 1) __builtin_trap();
    }
    return 0;
}
