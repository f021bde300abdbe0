// Parsing of proof-of-possession messages and of a message with every field kind.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "storage/network_msg.h"

namespace {
struct AllKinds : vq::CNetworkMsg {
    AllKinds() : CNetworkMsg(9) {
        AddField(vq::field::kInt32, &i32);
        AddField(vq::field::kText, &text);
        AddField(vq::field::kInt16, &i16);
        AddField(vq::field::kBlock, block.data(), block.size());
        AddField(vq::field::kBytes, &bytes, 0, &length);
        AddField(vq::field::kByte, &b);
    }
    std::uint32_t i32 = 0, length = 0;
    std::uint16_t i16 = 0;
    unsigned char b = 0;
    std::array<unsigned char, 5> block{};
    vq::TextField text;
    vq::ByteBlock bytes;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vq::CProofOfPossesion pop;
    if (pop.Parse(data, size)) {
        if (!pop.signature || pop.signature->size() != pop.signatureLength) std::abort();
        // A parsed message serialises to its input minus trailing bytes (texts end at a zero).
        const unsigned char* wire = pop.Serialize();
        if (pop.Size() > size) std::abort();
        if (pop.keyId && pop.keyId->find('\0') == std::string::npos &&
            std::memcmp(wire, data, pop.Size()) != 0)
            std::abort();
    } else if (pop.signature && pop.keyId) {
        std::abort();
    }
    AllKinds all;
    all.Parse(data, size);
    all.Serialize();
    all.Clear();
    return 0;
}
