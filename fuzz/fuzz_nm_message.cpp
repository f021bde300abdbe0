// Messages from the browser as the native host parses them, and the origins it compares.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "hosts/nm/access.h"
#include "hosts/nm/protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vq::nm::Request r = vq::nm::ParseRequest(text);
    if (const auto* open = std::get_if<vq::nm::OpenRequest>(&r)) {
        if (auto o = vq::nm::NormalizeHttpsOrigin(open->origin)) {
            // Normalising is idempotent.
            if (vq::nm::NormalizeHttpsOrigin(*o) != o) __builtin_trap();
        }
    }
    if (auto o = vq::nm::NormalizeHttpsOrigin(text)) {
        if (vq::nm::NormalizeHttpsOrigin(*o) != o) __builtin_trap();
    }
    return 0;
}
