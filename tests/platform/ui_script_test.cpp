#include "platform/ui/ui_script.h"

#include <gtest/gtest.h>

#include "platform/ui/json_line.h"

namespace vq::ui {
namespace {

using Verb = ScriptCommand::Verb;

ScriptCommand Parse(std::string_view line) {
    std::string error;
    auto c = ParseScriptLine(line, 7, error);
    EXPECT_TRUE(c.has_value()) << line << ": " << error;
    return c.value_or(ScriptCommand{});
}

std::string ErrorOf(std::string_view line) {
    std::string error;
    auto c = ParseScriptLine(line, 1, error);
    EXPECT_FALSE(c.has_value()) << line;
    return error;
}

TEST(UiScript, EveryCommandOfTheFormat) {
    EXPECT_EQ(Parse("dialog 210").verb, Verb::kDialog);
    EXPECT_EQ(Parse("dialog 210").id, 210);
    EXPECT_EQ(Parse("dialog 210").line, 7);
    const auto type = Parse("type 213 \"text\"");
    EXPECT_EQ(type.verb, Verb::kType);
    EXPECT_EQ(type.id, 213);
    EXPECT_EQ(type.text, "text");
    EXPECT_EQ(Parse("click 1").id, 1);
    EXPECT_EQ(Parse("select 208 1").rows, std::vector<int>{1});
    EXPECT_EQ(Parse("select 208 0,2").rows, (std::vector<int>{0, 2}));
    const auto dbl = Parse("dblclick 203 0");
    EXPECT_EQ(dbl.verb, Verb::kDblClick);
    EXPECT_EQ(dbl.rows, std::vector<int>{0});
    EXPECT_EQ(Parse("check 206").verb, Verb::kCheck);
    EXPECT_EQ(Parse("uncheck 206").verb, Verb::kUncheck);
    const auto down = Parse("mouse down 120 80");
    EXPECT_EQ(down.verb, Verb::kMouseDown);
    EXPECT_EQ(down.x, 120);
    EXPECT_EQ(down.y, 80);
    EXPECT_EQ(Parse("mouse up -3 5").x, -3);
    EXPECT_EQ(Parse("mouse leave").verb, Verb::kMouseLeave);
    EXPECT_EQ(Parse("key enter").text, "enter");
    EXPECT_EQ(Parse("key escape").text, "escape");
    EXPECT_EQ(Parse("dump").verb, Verb::kDump);
    EXPECT_EQ(Parse("snapshot \"file.png\"").text, "file.png");
    EXPECT_EQ(Parse("message yes").text, "yes");
    const auto file = Parse("file \"/path/to/file\"");
    EXPECT_EQ(file.text, "/path/to/file");
    EXPECT_FALSE(file.cancel);
    EXPECT_TRUE(Parse("file cancel").cancel);
    EXPECT_EQ(Parse("print \"/tmp/out.pdf\"").verb, Verb::kPrint);
    EXPECT_TRUE(Parse("print cancel").cancel);
    EXPECT_EQ(Parse("\t click   2  \r").id, 2);
}

TEST(UiScript, JsonStringEscapes) {
    EXPECT_EQ(Parse(R"(type 1 "a\"b\\c\/d\n\t")").text, "a\"b\\c/d\n\t");
    EXPECT_EQ(Parse(R"(type 1 "\u017b\u00f3\u0142w")").text, "Żółw");
    EXPECT_EQ(Parse(R"(type 1 "\ud83d\ude00")").text, "\xF0\x9F\x98\x80");
    EXPECT_EQ(Parse("type 1 \"Zażółć\"").text, "Zażółć");
    EXPECT_EQ(Parse("type 1 \"\"").text, "");
    EXPECT_EQ(Parse("type 1 \"a b\"").text, "a b");
    // Broken literals.
    ErrorOf(R"(type 1 "abc)");
    ErrorOf(R"(type 1 "\x")");
    ErrorOf(R"(type 1 "\u12")");
    ErrorOf(R"(type 1 "\ud83d")");    // lone high surrogate
    ErrorOf(R"(type 1 "\ude00")");    // lone low surrogate
    ErrorOf(R"(type 1 "\u0000")");    // texts end at zero bytes
    ErrorOf("type 1 \"tab\there\"");  // raw control character
    ErrorOf(R"(type 1 "a"b)");        // text glued to the literal
    ErrorOf("type 1 \"\xAF\"");       // Windows-1250 byte, no UTF-8
}

TEST(UiScript, MalformedLinesAreRefusedWithAReason) {
    EXPECT_NE(ErrorOf("press 1").find("unknown command"), std::string::npos);
    EXPECT_NE(ErrorOf("click 1 2").find("unexpected text"), std::string::npos);
    ErrorOf("click");
    ErrorOf("click -1");
    ErrorOf("click 65536");
    ErrorOf("click 1x");
    ErrorOf("dialog");
    ErrorOf("type 213 text");
    ErrorOf("select 208");
    ErrorOf("select 208 1,");
    ErrorOf("select 208 ,1");
    ErrorOf("dblclick 203 0,1");
    ErrorOf("mouse");
    ErrorOf("mouse down 1");
    ErrorOf("mouse sideways 1 2");
    ErrorOf("mouse down 1 999999");
    ErrorOf("key space");
    ErrorOf("message maybe");
    ErrorOf("file");
    ErrorOf("file \"\"");
    ErrorOf("file later");
    ErrorOf("snapshot");
    ErrorOf("dump now");
    ErrorOf("\"quoted\"");
}

TEST(UiScript, CommentsAndBlankLinesAreSkippedAndLinesCounted) {
    UiScript script;
    std::string error;
    ASSERT_TRUE(script.Load("# a comment\n\n   \ndialog 201\r\n#x\nclick 1", error)) << error;
    ASSERT_EQ(script.Remaining(), 2u);
    EXPECT_EQ(script.Next()->line, 4);
    EXPECT_EQ(script.Next()->line, 6);
    EXPECT_EQ(script.Next(), nullptr);

    EXPECT_FALSE(script.Load("dialog 201\nclick\n", error));
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    EXPECT_EQ(script.Remaining(), 0u);
    EXPECT_FALSE(script.LoadFile("/nonexistent/script.txt", error));
}

TEST(JsonLine, QuotesAndRepairsText) {
    EXPECT_EQ(JsonQuote("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
    EXPECT_EQ(JsonQuote("Żółw"), "\"Żółw\"");
    // A Windows-1250 byte that slipped through is no UTF-8: replaced, never copied raw.
    EXPECT_EQ(JsonQuote("\xAF"), "\"\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonQuote("\xC0\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");  // overlong
    EXPECT_EQ(JsonQuote("\xED\xA0\x80").size(), 2u + 9u);              // surrogate
    EXPECT_EQ(JsonLine().Str("t", "x").Int("n", -2).Bool("b", true).Null("z").Object("e"),
              R"({"event":"e","t":"x","n":-2,"b":true,"z":null})");
}

}  // namespace
}  // namespace vq::ui
