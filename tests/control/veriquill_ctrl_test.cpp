#include "control/veriquill_ctrl.h"

#include <gtest/gtest.h>

#include <set>

#include "control/method_table.h"
#include "resources/text.h"
#include "storage/codes.h"

namespace vq {
namespace {

TEST(MethodTable, TwentyTwoMethodsNumberedInOrder) {
    const auto table = MethodTable();
    ASSERT_EQ(table.size(), 22u);
    std::set<std::string_view> names;
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(table[i].dispid, static_cast<int>(i + 1));
        names.insert(table[i].name);
        EXPECT_EQ(FindMethod(table[i].dispid), &table[i]);
    }
    EXPECT_EQ(names.size(), 22u);
    EXPECT_EQ(FindMethod("Sign")->dispid, 2);
    EXPECT_EQ(FindMethod("RemoveKeysFromUSBToken")->dispid, 22);
    EXPECT_FALSE(FindMethod("SetLanguage")->returnsString);
}

TEST(MethodTable, NameLookupIgnoresCaseAndRejectsStrangers) {
    EXPECT_EQ(FindMethod("testcomponent"), FindMethod(4));
    EXPECT_EQ(FindMethod("ENCRYPTRAND")->dispid, 11);
    EXPECT_EQ(FindMethod("Sig"), nullptr);
    EXPECT_EQ(FindMethod(""), nullptr);
    EXPECT_EQ(FindMethod(0), nullptr);
    EXPECT_EQ(FindMethod(23), nullptr);
}

class ControlTest : public ::testing::Test {
  protected:
    void TearDown() override { SetLanguageIndex(kLanguagePolish); }
    CVeriquillCtrl ctrl;
};

TEST_F(ControlTest, TestComponentReportsVersion) {
    EXPECT_EQ(ctrl.TestComponent(), "OK|1,3,0,90");
}

TEST_F(ControlTest, SetSignDialogTypeMapsToThreeVariantsAndAlwaysAnswersZero) {
    const std::pair<int, int> cases[] = {{1, 0}, {2, 1}, {7, 2}, {0, 2}, {-1, 2}};
    for (auto [type, variant] : cases) {
        EXPECT_EQ(ctrl.SetSignDialogType(type), "0");
        EXPECT_EQ(ctrl.component().dialogVariant(), variant) << type;
    }
}

TEST_F(ControlTest, SetLanguageIgnoresUnknownIndexes) {
    ctrl.SetLanguage(2);
    EXPECT_EQ(LanguageIndex(), 2);
    ctrl.SetLanguage(3);
    ctrl.SetLanguage(-1);
    EXPECT_EQ(LanguageIndex(), 2);
    ctrl.SetLanguage(0);
    EXPECT_EQ(LanguageIndex(), 0);
}

TEST_F(ControlTest, InvokeConvertsArgumentsAsTheScriptingLayerDoes) {
    // A decimal string is accepted for an integer argument; a number for a string argument.
    const ScriptValue typeText[] = {std::string(" 2 ")};
    EXPECT_EQ(ctrl.Invoke(9, typeText).value, "0");
    EXPECT_EQ(ctrl.component().dialogVariant(), 1);

    const ScriptValue notNumber[] = {std::string("two")};
    EXPECT_EQ(ctrl.Invoke(9, notNumber).hr, hresult::kTypeMismatch);
    const ScriptValue tooBig[] = {std::int64_t{1} << 31};
    EXPECT_EQ(ctrl.Invoke(9, tooBig).hr, hresult::kOverflow);
    const ScriptValue nullNumber[] = {std::monostate{}};
    EXPECT_EQ(ctrl.Invoke(9, nullNumber).hr, hresult::kTypeMismatch);
}

TEST_F(ControlTest, InvokeRefusesWrongArityAndUnknownIds) {
    const ScriptValue one[] = {std::string("x")};
    EXPECT_EQ(ctrl.Invoke(4, one).hr, hresult::kBadParamCount);
    EXPECT_EQ(ctrl.Invoke(1, one).hr, hresult::kBadParamCount);
    EXPECT_EQ(ctrl.Invoke(23, {}).hr, hresult::kMemberNotFound);
    EXPECT_EQ(ctrl.Invoke(4, {}).value, "OK|1,3,0,90");
}

TEST_F(ControlTest, SetLanguageReturnsNothing) {
    const ScriptValue en[] = {std::int64_t{1}};
    const InvokeResult r = ctrl.Invoke(6, en);
    EXPECT_EQ(r.hr, 0u);
    EXPECT_FALSE(r.value.has_value());
    EXPECT_EQ(LanguageIndex(), 1);
}

TEST(ResultForms, SignAndEncryptRand) {
    EXPECT_EQ(result::WithKeyId({0, {"k1", "ABCD"}}), "0|k1|ABCD");
    EXPECT_EQ(result::WithKeyId({0, {"0102"}}), "0|0102");
    EXPECT_EQ(result::WithKeyId({9, {"k1"}}), "9|k1");
    EXPECT_EQ(result::WithKeyId({82, {"k1"}}), "82|k1");
    EXPECT_EQ(result::WithKeyId({91, {}, std::string("a|b")}), "91|a|b");
    EXPECT_EQ(result::WithKeyId({91, {}, std::string()}), "91|");
    EXPECT_EQ(result::WithKeyId({36, {"k1"}}), "36");
}

TEST(ResultForms, DecryptRandHidesFailuresBehindTheFixedForm) {
    EXPECT_EQ(result::DecryptRand({34}, 1), "0");
    EXPECT_EQ(result::DecryptRand({34}, 2), "0|ffffffffff");
    EXPECT_EQ(result::DecryptRand({0}, 1), "0");
    EXPECT_EQ(result::DecryptRand({0}, 2), "0|ffffffffff");
    EXPECT_EQ(result::DecryptRand({91, {}, std::string("a")}, 1), "0|ffffffffff");
    EXPECT_EQ(result::DecryptRand({9, {"k"}}, 2), "9|k");
    EXPECT_EQ(result::DecryptRand({82, {"k"}}, 1), "82|k");
}

TEST(ResultForms, DeviceFlowsPrintAKeyListWheneverOneWasProduced) {
    EXPECT_EQ(result::WithKeyList({8, {}, std::string("k1|k2")}), "8|k1|k2");
    EXPECT_EQ(result::WithKeyList({0, {}, std::string()}), "0|");
    EXPECT_EQ(result::WithKeyList({56}), "56");
    EXPECT_EQ(result::CodeOr91({91, {}, std::string("k")}), "91|k");
    // A key list produced with another code is dropped.
    EXPECT_EQ(result::CodeOr91({0, {}, std::string("k")}), "0");
}

}  // namespace
}  // namespace vq
