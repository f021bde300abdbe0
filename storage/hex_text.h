// Hex text (two upper-case digits per byte) and the name code pages that cross the page boundary.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

// Two upper-case hexadecimal digits per byte, high nibble first.
std::string HexEncode(std::span<const unsigned char> bytes);
std::string HexEncode(std::string_view bytes);

// Appends the decoded bytes to `out` and returns code 0; returns 1 (and appends nothing) for an
// empty text, an odd length or any character that is not a hexadecimal digit. Both cases accepted.
template <class Container>
int HexDecode(std::string_view hex, Container& out);

// Names travel as ISO-8859-2 on the page side and live as Windows-1250 inside; six bytes differ.
std::string IsoToWin1250(std::string_view iso);
std::string Win1250ToIso(std::string_view win);

}  // namespace vq

#include "storage/hex_text_impl.h"
