#include "storage/hex_text.h"

#include <array>

namespace vq {
namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

// The six letters whose codes differ between ISO-8859-2 and Windows-1250.
constexpr std::array<std::pair<unsigned char, unsigned char>, 6> kIsoWin = {{
    {0xA1, 0xA5},  // A ogonek
    {0xA6, 0x8C},  // S acute
    {0xAC, 0x8F},  // Z acute
    {0xB1, 0xB9},  // a ogonek
    {0xB6, 0x9C},  // s acute
    {0xBC, 0x9F},  // z acute
}};

std::string Translate(std::string_view in, bool isoToWin) {
    std::string out(in);
    for (char& c : out) {
        const auto b = static_cast<unsigned char>(c);
        for (auto [iso, win] : kIsoWin) {
            if (b == (isoToWin ? iso : win)) {
                c = static_cast<char>(isoToWin ? win : iso);
                break;
            }
        }
    }
    return out;
}

}  // namespace

std::string HexEncode(std::span<const unsigned char> bytes) {
    std::string out;
    out.resize(bytes.size() * 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return out;
}

std::string HexEncode(std::string_view bytes) {
    return HexEncode(std::span(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size()));
}

std::string IsoToWin1250(std::string_view iso) { return Translate(iso, true); }
std::string Win1250ToIso(std::string_view win) { return Translate(win, false); }

}  // namespace vq
