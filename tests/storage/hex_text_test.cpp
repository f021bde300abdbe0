#include "storage/hex_text.h"

#include <gtest/gtest.h>

#include "storage/secure.h"

namespace vq {
namespace {

TEST(HexText, EncodesUpperCaseHighNibbleFirst) {
    const unsigned char bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(HexEncode(std::span(bytes)), "000FA5FF");
    EXPECT_EQ(HexEncode(std::string_view{}), "");
}

TEST(HexText, DecodesBothCasesAndAppends) {
    std::string out = "x";
    EXPECT_EQ(HexDecode("4a4B", out), 0);
    EXPECT_EQ(out, "xJK");
}

TEST(HexText, RejectsEmptyOddAndForeignDigitsWithoutOutput) {
    for (std::string_view bad : {"", "A", "ABC", "0G", "  ", "0x12", "1\0"}) {
        std::string out;
        EXPECT_EQ(HexDecode(bad, out), 1) << bad;
        EXPECT_TRUE(out.empty()) << bad;
    }
    // A bad digit at the very end must not leave the good prefix behind.
    SecureBytes secret;
    EXPECT_EQ(HexDecode("0102030Z", secret), 1);
    EXPECT_TRUE(secret.empty());
}

TEST(NameCodePages, ConvertsExactlyTheSixLetters) {
    const std::string iso = "\xA1\xA6\xAC\xB1\xB6\xBC";
    const std::string win = "\xA5\x8C\x8F\xB9\x9C\x9F";
    EXPECT_EQ(IsoToWin1250(iso), win);
    EXPECT_EQ(Win1250ToIso(win), iso);
    // Every other byte passes unchanged both ways (including bytes of the other page's six).
    for (int b = 0; b < 256; ++b) {
        const std::string s(1, static_cast<char>(b));
        if (iso.find(s[0]) == std::string::npos) {
            EXPECT_EQ(IsoToWin1250(s), s) << b;
        }
        if (win.find(s[0]) == std::string::npos) {
            EXPECT_EQ(Win1250ToIso(s), s) << b;
        }
    }
}

TEST(NameCodePages, FourLetterNameLeavesAsIsoHex) {
    EXPECT_EQ(HexEncode(Win1250ToIso("\xA3\xF3\x64\x9F")), "A3F364BC");
}

}  // namespace
}  // namespace vq
