// The order text a bank's page passes to Sign: records "key:label:value|", order markers
// "_ZLECENIE_|", the identification marker "_IDENTYFIKACJA", optionally "MULTILINE|" first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vq {

struct OrderRow {
    std::string label;
    std::string value;
};

struct ParsedOrder {
    bool multiline = false;
    std::vector<OrderRow> rows;  // table mode
    std::string multilineText;   // multiline mode: "-" per marker, values joined as they are
};

inline constexpr std::size_t kMaxLabel = 127;
inline constexpr std::size_t kMaxValueBase = 256000;

// Parses the display copy of the order text. `dataLength` is the length of the data to sign;
// values are cut to min(dataLength, 256000) - 1 characters and labels to 127.
// Linear in the text's length whatever its shape.
ParsedOrder ParseOrderText(std::string_view text, std::size_t dataLength);

}  // namespace vq
