#include "hosts/veriquill/script_line.h"

#include <gtest/gtest.h>

namespace vq::host {
namespace {

ScriptCall Call(std::string_view line) {
    auto r = ParseScriptLine(line);
    if (auto* e = std::get_if<ParseError>(&r)) {
        ADD_FAILURE() << line << ": column " << e->column << ": " << e->message;
        return {};
    }
    auto* c = std::get_if<ScriptCall>(&std::get<ScriptLine>(r));
    if (!c) {
        ADD_FAILURE() << line << ": not a call";
        return {};
    }
    return *c;
}

std::size_t ErrorColumn(std::string_view line) {
    auto r = ParseScriptLine(line);
    auto* e = std::get_if<ParseError>(&r);
    return e ? e->column : 0;
}

TEST(ScriptLine, CallsWithStringsIntegersAndNull) {
    const ScriptCall c = Call(R"(  SetKey("k1", "4B", "AB", -7) ;  )");
    EXPECT_EQ(c.name, "SetKey");
    ASSERT_EQ(c.args.size(), 4u);
    EXPECT_EQ(std::get<std::string>(c.args[0]), "k1");
    EXPECT_EQ(std::get<std::int64_t>(c.args[3]), -7);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(Call("RemoveKey(null)").args[0]));
    EXPECT_TRUE(Call("TestComponent()").args.empty());
    EXPECT_TRUE(Call("TestComponent( )").args.empty());
}

TEST(ScriptLine, JsonEscapesDecodeToUtf8) {
    const ScriptCall c = Call(R"(F("a\"b\\c\/\n\t\u0105\ud83d\ude00"))");
    EXPECT_EQ(std::get<std::string>(c.args[0]), "a\"b\\c/\n\t\xC4\x85\xF0\x9F\x98\x80");
    EXPECT_EQ(std::get<std::string>(Call(R"(F(""))").args[0]), "");
}

TEST(ScriptLine, BlankAndCommentLinesAreSkipped) {
    for (std::string_view line : {"", "   ", "# SetKey(", "  # note"}) {
        auto r = ParseScriptLine(line);
        ASSERT_TRUE(std::holds_alternative<ScriptLine>(r)) << line;
        EXPECT_TRUE(std::holds_alternative<Blank>(std::get<ScriptLine>(r))) << line;
    }
}

TEST(ScriptLine, PageFunctionDirective) {
    auto r = ParseScriptLine("page function componentWKPEvent");
    auto* pf = std::get_if<PageFunction>(&std::get<ScriptLine>(r));
    ASSERT_NE(pf, nullptr);
    EXPECT_EQ(pf->name, "componentWKPEvent");
    EXPECT_GT(ErrorColumn("page function"), 0u);
    EXPECT_GT(ErrorColumn("page fun x"), 0u);
}

TEST(ScriptLine, MalformedLinesNameTheColumn) {
    EXPECT_EQ(ErrorColumn("Sign"), 5u);                // no parenthesis
    EXPECT_EQ(ErrorColumn("Sign(\"a\""), 9u);          // not closed
    EXPECT_EQ(ErrorColumn("Sign(\"a\" \"b\")"), 10u);  // missing comma
    EXPECT_EQ(ErrorColumn("Sign(abc)"), 6u);           // bare word
    EXPECT_EQ(ErrorColumn("Sign(12abc)"), 6u);
    EXPECT_EQ(ErrorColumn("Sign(\"unterminated)"), 6u);
    EXPECT_EQ(ErrorColumn("Sign(\"\\x\")"), 6u);      // unknown escape
    EXPECT_EQ(ErrorColumn("Sign(\"\\ud800\")"), 6u);  // lone surrogate
    EXPECT_EQ(ErrorColumn("Sign(\"a\tb\")"), 6u);     // raw control character
    EXPECT_EQ(ErrorColumn("Sign() extra"), 8u);
    EXPECT_EQ(ErrorColumn("Sign(1,)"), 8u);
    EXPECT_EQ(ErrorColumn("Sign(99999999999999999999)"), 6u);
    EXPECT_EQ(ErrorColumn("1Sign()"), 1u);
}

}  // namespace
}  // namespace vq::host
