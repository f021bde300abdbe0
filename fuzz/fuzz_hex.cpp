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
        // Name conversion keeps the length and touches only the six letters that differ.
        const std::string win = vq::IsoToWin1250(bytes);
        if (win.size() != bytes.size()) __builtin_trap();
        constexpr std::string_view kIso = "\xA1\xA6\xAC\xB1\xB6\xBC";
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (win[i] != bytes[i] && kIso.find(bytes[i]) == std::string_view::npos)
                __builtin_trap();
        }
    } else if (!bytes.empty()) {
        __builtin_trap();
    }
    return 0;
}
