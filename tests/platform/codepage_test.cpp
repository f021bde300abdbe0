#include "platform/codepage/codepage.h"

#include <gtest/gtest.h>

namespace vq::cp {
namespace {

TEST(CodePage, PolishLettersRoundTripThroughWindows1250) {
    const std::string utf8 = "Zażółć gęślą jaźń ŁÓDŹ";
    const auto ansi = FromUtf8(utf8, "CP1250");
    ASSERT_TRUE(ansi);
    EXPECT_EQ(ansi->size(), 22u);                             // one byte per letter
    EXPECT_EQ(static_cast<unsigned char>((*ansi)[2]), 0xBF);  // ż
    EXPECT_EQ(ToUtf8(*ansi, "CP1250"), utf8);
}

TEST(CodePage, UnmappableCharactersBecomeQuestionMarks) {
    // As the scripting engine's conversion did with its default character.
    EXPECT_EQ(FromUtf8("a\xE2\x82\xAC\xE6\x97\xA5z", "ISO-8859-2"), "a??z");  // euro, CJK
    EXPECT_EQ(FromUtf8("\xF0\x9F\x98\x80", "CP1250"), "?");                   // emoji
    EXPECT_EQ(FromUtf8("", "CP1250"), "");
}

TEST(CodePage, InvalidUtf8IsRefused) {
    EXPECT_FALSE(FromUtf8("\xC3", "CP1250"));  // truncated sequence
    EXPECT_FALSE(
        FromUtf8("a\xFF"
                 "b",
                 "CP1250"));                           // never valid in UTF-8
    EXPECT_FALSE(FromUtf8("\xED\xA0\x80", "CP1250"));  // encoded surrogate
}

TEST(CodePage, UndefinedBytesBecomeReplacementCharacters) {
    // 0x81 has no character in Windows-1250; it must not vanish silently.
    EXPECT_EQ(ToUtf8("a\x81z", "CP1250"), "a\xEF\xBF\xBDz");
}

TEST(CodePage, UnknownCodePageGivesNothing) {
    EXPECT_FALSE(FromUtf8("x", "NO-SUCH-PAGE"));
    EXPECT_EQ(ToUtf8("x", "NO-SUCH-PAGE"), "");
}

// Names of files must come back as the same bytes: no replacement in either direction.
TEST(ExactCodePage, RefusesWhatTheLenientConversionReplaces) {
    EXPECT_EQ(FromUtf8Exact("Żółw", "CP1250"), "\xAF\xF3\xB3w");
    EXPECT_FALSE(FromUtf8Exact("a\xE6\x97\xA5z", "CP1250"));  // CJK
    EXPECT_FALSE(
        FromUtf8Exact("\xE2\x82\xAC", "ISO-8859-2"));  // the euro sign exists in CP1250 only
    EXPECT_EQ(FromUtf8Exact("\xE2\x82\xAC", "CP1250"), "\x80");
    EXPECT_FALSE(FromUtf8Exact("\xC3", "CP1250"));  // truncated
    EXPECT_FALSE(ToUtf8Exact("a\x81z", "CP1250"));  // no character at 0x81
    EXPECT_EQ(ToUtf8Exact("\xA5\xB9", "CP1250"), "Ąą");
    EXPECT_EQ(FromUtf8Exact("", "CP1250"), "");
    EXPECT_EQ(ToUtf8Exact("", "CP1250"), "");
    EXPECT_FALSE(FromUtf8Exact("x", "NO-SUCH-PAGE"));
    EXPECT_FALSE(ToUtf8Exact("x", "NO-SUCH-PAGE"));
}

}  // namespace
}  // namespace vq::cp
