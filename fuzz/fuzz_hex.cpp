// Hex text from the page: decoding must either fail cleanly or round-trip.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/hex_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string bytes;
    if (vq::HexDecode(text, bytes) == 0) {
        if (bytes.size() * 2 != size) __builtin_trap();
        std::string upper(text);
        for (char& c : upper)
            if (c >= 'a' && c <= 'f') c = static_cast<char>(c - 'a' + 'A');
        if (vq::HexEncode(bytes) != upper) __builtin_trap();
        if (vq::IsoToWin1250(vq::Win1250ToIso(bytes)) != bytes &&
            vq::Win1250ToIso(vq::IsoToWin1250(bytes)) != bytes)
            __builtin_trap();
    } else if (!bytes.empty()) {
        __builtin_trap();
    }
    return 0;
}
