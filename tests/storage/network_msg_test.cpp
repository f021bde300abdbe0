#include "storage/network_msg.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace vq {
namespace {

std::vector<unsigned char> Wire(CNetworkMsg& m) {
    const unsigned char* p = m.Serialize();
    return {p, p + m.Size()};
}

// A message with one field of every kind.
struct AllKinds : CNetworkMsg {
    AllKinds() : CNetworkMsg(7) {
        AddField(field::kInt32, &i32);
        AddField(field::kInt16, &i16);
        AddField(field::kByte, &b);
        AddField(field::kText, &text);
        AddField(field::kBlock, block.data(), block.size());
        AddField(field::kBytes, &bytes, 0, &bytesLength);
    }
    std::uint32_t i32 = 0;
    std::uint16_t i16 = 0;
    unsigned char b = 0;
    TextField text;
    std::array<unsigned char, 3> block{};
    ByteBlock bytes;
    std::uint32_t bytesLength = 0;
};

TEST(NetworkMsg, WireFormOfEveryKindIsBigEndian) {
    AllKinds m;
    m.i32 = 0x01020304;
    m.i16 = 0xA0B0;
    m.b = 0x7F;
    m.text = "ab";
    m.block = {9, 8, 7};
    m.bytes = std::vector<unsigned char>{0xFF};
    const std::vector<unsigned char> expected = {7, 1,   2,   3, 4, 0xA0, 0xB0, 0x7F, 0, 0, 0,
                                                 2, 'a', 'b', 9, 8, 7,    0,    0,    0, 1, 0xFF};
    ASSERT_EQ(Wire(m), expected);

    AllKinds back;
    ASSERT_EQ(back.Parse(expected.data(), expected.size()), 1);
    EXPECT_EQ(back.i32, 0x01020304u);
    EXPECT_EQ(back.i16, 0xA0B0);
    EXPECT_EQ(back.b, 0x7F);
    EXPECT_EQ(back.text, "ab");
    EXPECT_EQ(back.block, (std::array<unsigned char, 3>{9, 8, 7}));
    EXPECT_EQ(back.bytes, std::vector<unsigned char>{0xFF});
    EXPECT_EQ(back.bytesLength, 1u);

    back.Clear();
    EXPECT_EQ(back.i32, 0u);
    EXPECT_EQ(back.i16, 0);
    EXPECT_EQ(back.block, (std::array<unsigned char, 3>{}));
    EXPECT_FALSE(back.text);
    EXPECT_FALSE(back.bytes);
    EXPECT_EQ(back.bytesLength, 0u);
}

TEST(NetworkMsg, AddFieldRefusals) {
    CNetworkMsg m(1);
    std::uint32_t v = 0;
    ByteBlock bytes;
    EXPECT_EQ(m.AddField(field::kInt32, nullptr), 0);
    EXPECT_EQ(m.AddField(6, &v), 0);
    EXPECT_EQ(m.AddField(field::kBytes, &bytes), 0);  // needs its length variable
    EXPECT_EQ(m.AddField(field::kInt32, &v), 1);
}

TEST(ProofOfPossession, LayoutAndEmptyKeyId) {
    CProofOfPossesion m;
    m.signature = std::vector<unsigned char>{1, 2, 3};
    EXPECT_EQ(Wire(m), (std::vector<unsigned char>{1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 0, 0}));
    m.keyId = "K1";
    EXPECT_EQ(Wire(m), (std::vector<unsigned char>{1, 0, 0, 0, 3, 1, 2, 3, 0, 0, 0, 2, 'K', '1'}));
}

TEST(ProofOfPossession, ParseFailuresLeaveTheFailingFieldEmpty) {
    CProofOfPossesion m;
    // Ends in the middle of the signature block.
    const std::vector<unsigned char> cut = {1, 0, 0, 0, 5, 1, 2};
    m.signature = std::vector<unsigned char>{9};
    m.signatureLength = 1;
    EXPECT_EQ(m.Parse(cut.data(), cut.size()), 0);
    EXPECT_FALSE(m.signature);
    EXPECT_EQ(m.signatureLength, 0u);

    // Signature read, key identifier length larger than the whole window.
    const std::vector<unsigned char> big = {1, 0, 0, 0, 1, 0xAB, 0xFF, 0xFF, 0xFF, 0xFF, 'x'};
    m.keyId = "old";
    EXPECT_EQ(m.Parse(big.data(), big.size()), 0);
    EXPECT_EQ(m.signature, std::vector<unsigned char>{0xAB});
    EXPECT_FALSE(m.keyId);

    EXPECT_EQ(m.Parse(nullptr, 0), 0);
    const std::vector<unsigned char> tagOnly = {1, 0, 0};
    EXPECT_EQ(m.Parse(tagOnly.data(), tagOnly.size()), 0);
}

TEST(ProofOfPossession, ParseAcceptsAnyTagZeroLengthAndTrailingBytes) {
    CProofOfPossesion m;
    const std::vector<unsigned char> wire = {2, 0, 0, 0, 0, 0, 0, 0, 2, 'I', 'D', 0xEE, 0xEE};
    ASSERT_EQ(m.Parse(wire.data(), wire.size()), 1);
    ASSERT_TRUE(m.signature);
    EXPECT_TRUE(m.signature->empty());
    EXPECT_EQ(m.signatureLength, 0u);
    EXPECT_EQ(m.keyId, "ID");
}

TEST(ProofOfPossession, TwoThousandByteBlockGrowsOnce) {
    CProofOfPossesion m;
    EXPECT_EQ(m.Capacity(), 1024u);
    m.signature = std::vector<unsigned char>(2000, 0x5A);
    m.keyId = "key";
    const auto wire = Wire(m);
    EXPECT_EQ(wire.size(), 1u + 4 + 2000 + 4 + 3);
    EXPECT_EQ(m.Capacity(), 1u + 4 + 2000 + 2 * 1024);

    CProofOfPossesion back;
    ASSERT_EQ(back.Parse(wire.data(), wire.size()), 1);
    EXPECT_EQ(back.signature, m.signature);
    EXPECT_EQ(back.keyId, "key");
    // Serialising again starts from an empty buffer.
    EXPECT_EQ(Wire(m), wire);
}

}  // namespace
}  // namespace vq
