#include "dialogs/order_text.h"

#include <gtest/gtest.h>

#include <chrono>

#include "dialogs/colored_list_ctrl.h"

namespace vq {
namespace {

ParsedOrder Parse(std::string_view text) {
    return ParseOrderText(text, text.size());
}

std::vector<std::pair<std::string, std::string>> Rows(const ParsedOrder& o) {
    std::vector<std::pair<std::string, std::string>> r;
    for (const OrderRow& row : o.rows) r.emplace_back(row.label, row.value);
    return r;
}

using RowList = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view kTwoRecords = "_ZLECENIE_|a:Amount:100,00|b:Title:line1\r\nline2|";

TEST(OrderText, TableRowsWithHeaderAndMultiLineValue) {
    const ParsedOrder o = Parse(kTwoRecords);
    EXPECT_FALSE(o.multiline);
    EXPECT_EQ(
        Rows(o),
        (RowList{{"ZLECENIE 1", ""}, {"Amount", "100,00"}, {"Title", "line1"}, {"", "line2"}}));
    EXPECT_TRUE(IsOrderHeaderRow(std::string_view(o.rows[0].label)));
    EXPECT_FALSE(IsOrderHeaderRow(std::string_view(o.rows[1].label)));
}

TEST(OrderText, MultilineJoinsValuesBehindADashPerMarker) {
    const std::string text = "MULTILINE|" + std::string(kTwoRecords);
    const ParsedOrder o = Parse(text);
    EXPECT_TRUE(o.multiline);
    EXPECT_TRUE(o.rows.empty());
    EXPECT_EQ(o.multilineText, "-100,00line1\r\nline2");
}

TEST(OrderText, MarkersNumberOrdersAndIdentificationHasItsRow) {
    const ParsedOrder o = Parse("_ZLECENIE_|a:X:1|_ZLECENIE_|b:Y:2|_IDENTYFIKACJAc:Z:3|");
    EXPECT_EQ(Rows(o), (RowList{{"ZLECENIE 1", ""},
                                {"X", "1"},
                                {"ZLECENIE 2", ""},
                                {"Y", "2"},
                                {"Identyfikacja", ""},
                                {"Z", "3"}}));
}

TEST(OrderText, EmptyValuesAndMissingBarsAddNothing) {
    EXPECT_TRUE(Parse("a:Label:|").rows.empty());
    EXPECT_TRUE(Parse("a:Label:value without bar").rows.empty());
    EXPECT_TRUE(Parse("no colon at all | here").rows.empty());
    EXPECT_TRUE(Parse("").rows.empty());
    EXPECT_TRUE(Parse("a:only one colon|").rows.empty());
}

TEST(OrderText, LabelsAndValuesAreCut) {
    const std::string label(200, 'L');
    const ParsedOrder o = Parse("k:" + label + ":v|");
    ASSERT_EQ(o.rows.size(), 1u);
    EXPECT_EQ(o.rows[0].label, std::string(127, 'L'));

    // Values are limited by min(order length, 256000) - 1.
    const std::string big(256010, 'v');
    const std::string order = "k:L:" + big + "|";
    const ParsedOrder cut = ParseOrderText(order, order.size());
    ASSERT_EQ(cut.rows.size(), 1u);
    EXPECT_EQ(cut.rows[0].value.size(), 255999u);
    // A short data length cuts harder; zero length shows no value at all.
    EXPECT_EQ(ParseOrderText("k:L:abcdef|", 4).rows[0].value, "abc");
    EXPECT_TRUE(ParseOrderText("k:L:abcdef|", 0).rows.empty());
}

TEST(OrderText, FirstRecordStartsAtItsColonSoABarInItsKeyIsSkippedOnce) {
    // The cursor of the first record moves to its first colon, so the bar before it does not
    // make the same record be read twice.
    EXPECT_EQ(Rows(Parse("x|a:L:v|")), (RowList{{"L", "v"}}));
    // A bar inside a later record's key does not make that record be read again.
    EXPECT_EQ(Rows(Parse("a:L:v|x|b:M:w|")), (RowList{{"L", "v"}, {"M", "w"}}));
    // Nor once per bar: the output never outgrows the input.
    const std::string bars =
        "a:L:v|" + std::string(1000, '|') + "b:M:" + std::string(1000, 'w') + "|";
    const ParsedOrder o = Parse("MULTILINE|" + bars);
    EXPECT_EQ(o.multilineText, "v" + std::string(1000, 'w'));
}

TEST(OrderText, LargeHostileTextsStayLinear) {
    // Colons without any bar used to mean one scan of the rest of the text per record: for a
    // megabyte that is some 10^11 steps, hours. A linear parser takes well under a second, so
    // a generous bound stays reliable on a loaded machine and under sanitizers.
    std::string colons(1 << 20, ':');
    std::string mixed;
    while (mixed.size() < (1u << 20)) mixed += "k:l:\n\n\n\n|_ZLECENIE_|";
    for (const std::string* text : {&colons, &mixed}) {
        const auto start = std::chrono::steady_clock::now();
        const ParsedOrder o = Parse(*text);
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        EXPECT_LT(seconds, 30) << "rows " << o.rows.size();
    }
}

}  // namespace
}  // namespace vq
