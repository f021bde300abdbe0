// The code table against the behaviour the flows promise: each column is checked for every row,
// from sets written down here independently of the table.
#include "storage/code_table.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "resources/text_ids.h"
#include "storage/codes.h"

namespace vq {
namespace {

// Every constant that storage/codes.h names, by name.
std::map<std::string, int> NamedCodes() {
    std::ifstream in(std::string(VQ_SOURCE_DIR) + "/storage/codes.h");
    std::stringstream text;
    text << in.rdbuf();
    const std::string s = text.str();
    std::map<std::string, int> out;
    const std::regex constant(R"(inline constexpr int (k\w+) = (-?\d+);)");
    for (auto it = std::sregex_iterator(s.begin(), s.end(), constant); it != std::sregex_iterator();
         ++it)
        out[(*it)[1]] = std::stoi((*it)[2]);
    return out;
}

// The Sign button: what closes the dialog, what keeps it open, what runs again at once.
const std::set<int> kStays = {8, 9, 48, 54, 56, 57, 93, 94, 95, 120, 133, 134};
const std::set<int> kRetries = {36, 98};
// The error display's texts.
const std::map<int, int> kDisplayTexts = {
    {9, 571},  {101, 571}, {48, 678}, {93, 678},  {94, 678},  {95, 678}, {53, 680},
    {54, 258}, {56, 249},  {57, 255}, {133, 682}, {134, 684}, {82, 556},  // shown by the sign step
                                                                          // when it refuses a
                                                                          // blocked key
};
const std::set<int> kForgetsLocation = {36, 40, 98};
const std::set<int> kWrongPassword = {9, 101};
const std::set<int> kRepeatsStep = {9, 56, 101, 132};
const std::set<int> kUsesUpPassword = {0, 9, 64, 91};
// Key generation on a smart card: the texts after which the dialog stays open.
const std::map<int, int> kCardGenerationTexts = {{56, 249}, {48, 255}, {57, 255}, {93, 255},
                                                 {94, 255}, {95, 255}, {33, 222}};

template <class C>
bool Has(const C& c, int code) {
    return c.find(code) != c.end();
}
int TextOf(const std::map<int, int>& m, int code) {
    const auto it = m.find(code);
    return it == m.end() ? 0 : it->second;
}

TEST(CodeTable, EveryNamedCodeHasOneRowAndEveryRowANamedCode) {
    const std::map<std::string, int> named = NamedCodes();
    ASSERT_GT(named.size(), 60u) << "codes.h was not read";
    std::set<int> values;
    for (const auto& [name, value] : named) {
        // The base of passed-through device library errors is no code of its own.
        if (name == "kDeviceErrorBase") continue;
        values.insert(value);
        EXPECT_EQ(MeaningOf(value).code, value) << name;
        int rows = 0;
        for (const CodeMeaning& m : CodeTable()) rows += m.code == value;
        EXPECT_EQ(rows, 1) << name;
    }
    for (const CodeMeaning& m : CodeTable()) EXPECT_TRUE(values.count(m.code)) << m.code;
}

TEST(CodeTable, EachRowMeansWhatTheFlowsPromise) {
    for (const CodeMeaning& m : CodeTable()) {
        const int c = m.code;
        const SignDialogAction dialog = Has(kRetries, c) ? SignDialogAction::kRetry
                                        : Has(kStays, c) ? SignDialogAction::kStay
                                                         : SignDialogAction::kClose;
        EXPECT_EQ(m.signDialog, dialog) << c;
        EXPECT_EQ(m.signDialogText, c == 120 ? kTextCardNotInitialized : 0) << c;
        EXPECT_EQ(m.text, TextOf(kDisplayTexts, c)) << c;
        EXPECT_EQ(m.icon, ui::Icon::kError) << c;
        EXPECT_EQ(m.forgetsLocation, Has(kForgetsLocation, c)) << c;
        EXPECT_EQ(m.wrongPassword, Has(kWrongPassword, c)) << c;
        EXPECT_EQ(m.repeatsStep, Has(kRepeatsStep, c)) << c;
        EXPECT_EQ(m.usesUpPassword, Has(kUsesUpPassword, c)) << c;
        EXPECT_EQ(m.cardGenerationText, TextOf(kCardGenerationTexts, c)) << c;
        EXPECT_EQ(m.generationStays, c == 8) << c;
        EXPECT_EQ(m.pinPromptAgain, c == 54 || c == 56) << c;
        EXPECT_EQ(m.pinPromptText, c == 56 ? kTextIncorrectPin : 0) << c;
    }
}

TEST(CodeTable, CodesWithoutARowCloseTheDialogAndShowNothing) {
    for (int c : {4, 777, code::kDeviceErrorBase + 0x30, -5}) {
        const CodeMeaning m = MeaningOf(c);
        EXPECT_EQ(m.code, c);
        EXPECT_EQ(m.signDialog, SignDialogAction::kClose) << c;
        EXPECT_EQ(m.text, 0) << c;
        EXPECT_FALSE(m.repeatsStep || m.usesUpPassword || m.forgetsLocation || m.wrongPassword ||
                     m.generationStays || m.pinPromptAgain)
            << c;
        EXPECT_EQ(m.cardGenerationText, 0) << c;
    }
    // A few rows read exactly as the dialogs use them.
    EXPECT_EQ(MeaningOf(code::kFingerprintMismatch).signDialog, SignDialogAction::kRetry);
    EXPECT_EQ(MeaningOf(code::kWrongPasswordLower).signDialog, SignDialogAction::kClose);
    EXPECT_EQ(MeaningOf(code::kNoReader95).text, kTextConnectReader);
    EXPECT_EQ(MeaningOf(code::kNoReader95).cardGenerationText, kTextInsertCard);
}

}  // namespace
}  // namespace vq
