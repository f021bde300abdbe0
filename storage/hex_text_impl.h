#pragma once

namespace vq::detail {
// Value of a hexadecimal digit, or -1.
constexpr int HexDigit(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace vq::detail

template <class Container>
int vq::HexDecode(std::string_view hex, Container& out) {
    if (hex.empty() || hex.size() % 2 != 0) return 1;
    for (char c : hex)
        if (detail::HexDigit(c) < 0) return 1;
    out.reserve(out.size() + hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<typename Container::value_type>(detail::HexDigit(hex[i]) << 4 |
                                                                  detail::HexDigit(hex[i + 1])));
    return 0;
}
