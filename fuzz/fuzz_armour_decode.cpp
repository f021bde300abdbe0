// Armour decoding of arbitrary text: first byte picks the kind, second the output capacity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "storage/armour.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const int kind = data[0] % 6;
    const std::size_t capacity = static_cast<std::size_t>(data[1]) * 16;
    std::vector<unsigned char> out(capacity);
    std::size_t length = capacity;
    const int rc = vq::ArmourDecode(reinterpret_cast<const char*>(data + 2), size - 2, out.data(),
                                    &length, kind);
    if (rc == 0 && length >= capacity) std::abort();  // success must be told apart from failure
    if (rc != 0 && length != capacity) std::abort();
    if (rc == 0 && kind >= 1 && kind <= 4) {
        // What decodes encodes again and decodes to the same bytes.
        const std::string again = vq::ArmourEncode(std::span(out.data(), length), kind);
        // The decoder needs up to three bytes of room beyond the output (padding, footer).
        std::vector<unsigned char> back(length + 4);
        std::size_t backLength = back.size();
        if (vq::ArmourDecode(again.data(), again.size(), back.data(), &backLength, kind) != 0 ||
            backLength != length || !std::equal(out.begin(), out.begin() + length, back.begin()))
            std::abort();
    }
    return 0;
}
