#include "storage/armour.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

namespace vq {
namespace {

struct Labels {
    const char* header;
    const char* footer;
};

constexpr std::array<Labels, 4> kLabels = {{
    {"-----BEGIN NEW CERTIFICATE REQUEST-----", "\n-----END NEW CERTIFICATE REQUEST-----\n"},
    {"-----BEGIN CERTIFICATE-----", "\n-----END CERTIFICATE-----\n"},
    {"-----BEGIN DATA-----", "\n-----END DATA-----\n"},
    {"-----BEGIN X509 CRL-----", "\n-----END X509 CRL-----\n"},
}};

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBytesPerLine = 48;  // 64 characters

// Decoder classes beyond the 64 digit values.
constexpr unsigned char kSkip = 64;
constexpr unsigned char kDash = 65;
constexpr unsigned char kPad = 66;

constexpr std::array<unsigned char, 256> MakeDecodeTable() {
    std::array<unsigned char, 256> t{};
    for (auto& v : t) v = kSkip;
    for (unsigned char i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = i;
    t['-'] = kDash;
    t['='] = kPad;
    return t;
}
constexpr std::array<unsigned char, 256> kDecode = MakeDecodeTable();

// The same table, split by a digit's place in its group of four and shifted into place, so that a
// group decodes with four lookups and three ORs. Anything but a digit sets kNotDigit.
constexpr std::uint32_t kNotDigit = 1u << 24;
using PlaceTable = std::array<std::uint32_t, 256>;
constexpr PlaceTable MakePlaceTable(unsigned shift) {
    PlaceTable t{};
    for (std::size_t c = 0; c < 256; ++c)
        t[c] = kDecode[c] < 64 ? std::uint32_t{kDecode[c]} << shift : kNotDigit;
    return t;
}
constexpr std::array<PlaceTable, 4> kPlace = {MakePlaceTable(18), MakePlaceTable(12),
                                              MakePlaceTable(6), MakePlaceTable(0)};

// Decodes whole groups of four digits from `p` while more than four bytes of room remain (what the
// character-by-character path demands of a whole group), stopping at the first character that is
// not a digit. Returns the characters taken.
std::size_t DecodeGroups(const unsigned char* p, std::size_t chars, unsigned char* out,
                         std::size_t room) {
    std::size_t taken = 0;
    while (chars - taken >= 4 && room > 4) {
        const unsigned char* g = p + taken;
        const std::uint32_t v =
            kPlace[0][g[0]] | kPlace[1][g[1]] | kPlace[2][g[2]] | kPlace[3][g[3]];
        if (v & kNotDigit) break;
        out[0] = static_cast<unsigned char>(v >> 16);
        out[1] = static_cast<unsigned char>(v >> 8);
        out[2] = static_cast<unsigned char>(v);
        out += 3;
        room -= 3;
        taken += 4;
    }
    return taken;
}

const Labels* Find(int kind) {
    if (kind < 1 || kind > static_cast<int>(kLabels.size())) return nullptr;
    return &kLabels[static_cast<std::size_t>(kind - 1)];
}

}  // namespace

const char* ArmourHeader(int kind) {
    const Labels* l = Find(kind);
    return l ? l->header : nullptr;
}

const char* ArmourFooter(int kind) {
    const Labels* l = Find(kind);
    return l ? l->footer : nullptr;
}

std::size_t ArmourEncodedLength(std::size_t n, int kind) {
    const Labels* l = Find(kind);
    if (!l) return 0;
    if (n > std::numeric_limits<std::size_t>::max() / 2)
        return std::numeric_limits<std::size_t>::max();
    const std::size_t lines = (n + kBytesPerLine - 1) / kBytesPerLine;
    const std::size_t chars = (n + 2) / 3 * 4;
    return std::strlen(l->header) + lines + chars + std::strlen(l->footer);
}

int ArmourEncode(const unsigned char* in, std::size_t n, char* out, std::size_t* length, int kind) {
    const Labels* l = Find(kind);
    if (!l) return armour::kEncodeUnknownKind;
    if (!length || (!in && n != 0)) return armour::kEncodeNoRoom;
    const std::size_t need = ArmourEncodedLength(n, kind);
    // Strictly less: a written length equal to the capacity would read as failure to callers.
    if (!out || need >= *length) return armour::kEncodeNoRoom;

    char* o = out;
    const std::size_t hl = std::strlen(l->header);
    std::memcpy(o, l->header, hl);
    o += hl;
    for (std::size_t i = 0; i < n; i += 3) {
        if (i % kBytesPerLine == 0) *o++ = '\n';
        const std::size_t left = n - i;
        const unsigned b0 = in[i];
        const unsigned b1 = left > 1 ? in[i + 1] : 0;
        const unsigned b2 = left > 2 ? in[i + 2] : 0;
        *o++ = kAlphabet[b0 >> 2];
        *o++ = kAlphabet[((b0 & 0x03) << 4) | (b1 >> 4)];
        *o++ = left > 1 ? kAlphabet[((b1 & 0x0F) << 2) | (b2 >> 6)] : '=';
        *o++ = left > 2 ? kAlphabet[b2 & 0x3F] : '=';
    }
    const std::size_t fl = std::strlen(l->footer);
    std::memcpy(o, l->footer, fl);
    o += fl;
    *length = static_cast<std::size_t>(o - out);
    return armour::kEncodeOk;
}

std::string ArmourEncode(std::span<const unsigned char> in, int kind) {
    const std::size_t need = ArmourEncodedLength(in.size(), kind);
    if (need == 0) return {};
    std::string out(need + 1, '\0');
    std::size_t length = out.size();
    if (ArmourEncode(in.data(), in.size(), out.data(), &length, kind) != armour::kEncodeOk)
        return {};
    out.resize(length);
    return out;
}

int ArmourDecode(const char* in, std::size_t n, unsigned char* out, std::size_t* length, int kind) {
    const Labels* l = Find(kind);
    if (!l) return armour::kDecodeUnknownKind;
    const std::size_t hl = std::strlen(l->header);
    if (!in || n < hl) return armour::kDecodeShortInput;
    if (!length) return armour::kDecodeSmallOutput;

    // The header must start before the last possible position (n - hl is excluded).
    std::size_t at = 0;
    bool found = false;
    for (; at < n - hl; ++at) {
        if (in[at] == l->header[0] && std::memcmp(in + at, l->header, hl) == 0) {
            found = true;
            break;
        }
    }
    if (!found) return armour::kDecodeNoHeader;

    const std::size_t capacity = *length;
    if (capacity != 0) {
        if (!out) return armour::kDecodeSmallOutput;
        std::memset(out, 0, capacity);
    }

    std::size_t begun = 0;  // output bytes started so far
    unsigned phase = 0;     // position inside the group of four characters
    const auto* p = reinterpret_cast<const unsigned char*>(in) + at + hl;
    const auto* end = reinterpret_cast<const unsigned char*>(in) + n;
    while (p < end) {
        // Fast path for whole groups of four digits while every per-character capacity check
        // below would pass; the result is the same as taking the characters one at a time.
        if (phase == 0 && begun < capacity) {
            const std::size_t taken =
                DecodeGroups(p, static_cast<std::size_t>(end - p), out + begun, capacity - begun);
            if (taken > 0) {
                begun += taken / 4 * 3;
                p += taken;
                continue;
            }
        }
        // ">=" rather than "==" so that a zero capacity cannot be written past.
        if (begun + 1 >= capacity) {
            std::fputs("ERROR_TO_SMALL_OUTPUT_BUFFER\n", stderr);
            return armour::kDecodeSmallOutput;
        }
        const unsigned v = kDecode[*p];
        if (v < 64) {
            switch (phase) {
                case 0:
                    out[begun++] = static_cast<unsigned char>(v << 2);
                    phase = 1;
                    break;
                case 1:
                    out[begun - 1] |= static_cast<unsigned char>(v >> 4);
                    out[begun++] = static_cast<unsigned char>(v << 4);
                    phase = 2;
                    break;
                case 2:
                    out[begun - 1] |= static_cast<unsigned char>(v >> 2);
                    out[begun++] = static_cast<unsigned char>(v << 6);
                    phase = 3;
                    break;
                default:
                    out[begun - 1] |= static_cast<unsigned char>(v);
                    phase = 0;
                    break;
            }
        } else if (v != kSkip) {
            // "=" stands in place of the byte it began; the footer's "-" ends a full group.
            if (v == kPad && begun > 0) --begun;
            *length = begun;
            return armour::kDecodeOk;
        }
        ++p;
    }
    *length = begun;
    return armour::kDecodeOk;
}

}  // namespace vq
