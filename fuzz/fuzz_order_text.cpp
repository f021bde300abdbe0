// Order texts from the bank's page, in both display modes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dialogs/order_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const vq::ParsedOrder order = vq::ParseOrderText(text, size);
    for (const vq::OrderRow& row : order.rows) {
        if (row.label.size() > vq::kMaxLabel || row.value.size() >= size + 1) __builtin_trap();
    }
    if (order.multilineText.size() > size) __builtin_trap();
    return 0;
}
