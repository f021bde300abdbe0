#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "hosts/nm/session.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "resources/text.h"

namespace vq::nm {
namespace {

using nlohmann::json;

class NmSession : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vq-nms-XXXXXX";
        dir_ = mkdtemp(pattern);
        setenv(reg::kMachineFileEnv, (dir_ + "/machine.reg").c_str(), 1);
        setenv(reg::kUserFileEnv, (dir_ + "/user.reg").c_str(), 1);
        refusing_ = ui::MakeRefusingUi();
        ui::SetCurrent(refusing_.get());
    }
    void TearDown() override {
        ui::SetCurrent(nullptr);
        std::filesystem::remove_all(dir_);
    }
    Session Make() {
        return Session(
            [this](std::string_view m) {
                sent_.push_back(json::parse(m));
                return true;
            },
            {"https://bank.example"});
    }
    json Last() const { return sent_.empty() ? json() : sent_.back(); }
    static std::string Call(int id, const std::string& method, const json& args) {
        return json{{"type", "call"}, {"id", id}, {"method", method}, {"args", args}}.dump();
    }

    std::string dir_;
    std::unique_ptr<ui::Ui> refusing_;
    std::vector<json> sent_;
};

TEST_F(NmSession, AllowedPageGetsAControlThatKeepsItsStateFromCallToCall) {
    Session s = Make();
    ASSERT_TRUE(s.Handle(R"({"type":"open","origin":"https://BANK.example:443"})"));
    EXPECT_EQ(Last(), json({{"type", "opened"}, {"version", "1,3,0,90"}}));
    EXPECT_EQ(s.origin(), "https://bank.example");

    ASSERT_TRUE(s.Handle(Call(1, "SetKey", {"k1", "4B31", "00", 0})));
    EXPECT_EQ(Last()["value"], "0");
    // Strings are UTF-8 on the page and the ANSI code page inside: "/tmp/Łódź.prv" is stored as
    // Windows-1250 bytes and comes back as their hex text.
    ASSERT_TRUE(s.Handle(Call(2, "SetKeyLocation", {"k1", "2F746D702F4C6F647A2E707276"})));
    EXPECT_EQ(Last()["value"], "0");
    ASSERT_TRUE(s.Handle(Call(3, "getkeylocation", {"k1"})));  // names as the dispatch finds them
    EXPECT_EQ(Last(),
              json({{"type", "result"}, {"id", 3}, {"value", "0|2F746D702F4C6F647A2E70727600"}}));
    ASSERT_TRUE(s.Handle(Call(4, "RemoveKey", {"k1"})));
    EXPECT_EQ(Last()["value"], "0");
    ASSERT_TRUE(s.Handle(Call(5, "RemoveKey", {"k1"})));
    EXPECT_EQ(Last()["value"], "1");
    ASSERT_TRUE(s.Handle(Call(6, "SetSignDialogType", {7})));
    EXPECT_EQ(s.control().component().dialogVariant(), 2);
    ASSERT_TRUE(s.Handle(Call(7, "SetLanguage", {"2"})));
    EXPECT_EQ(Last(), json({{"type", "result"}, {"id", 7}, {"value", nullptr}}));
}

TEST_F(NmSession, PagesOffTheListAreRefusedAndTheHostEnds) {
    for (const char* origin : {"https://evil.example", "http://bank.example",
                               "https://bank.example.evil.example", "null", ""}) {
        sent_.clear();
        Session s = Make();
        EXPECT_FALSE(s.Handle(json{{"type", "open"}, {"origin", origin}}.dump())) << origin;
        EXPECT_TRUE(s.refused());
        EXPECT_FALSE(s.opened());
        ASSERT_EQ(sent_.size(), 1u);
        EXPECT_EQ(Last()["type"], "refused");
        EXPECT_NE(Last()["error"].get<std::string>().find("is not allowed"), std::string::npos);
        // The refusal names the origin as the browser reported it, the opaque "null" included.
        EXPECT_TRUE(Last()["error"].get<std::string>().starts_with(
            std::string("the page ") + origin + " is not allowed to use the signing component"))
            << Last()["error"];
    }
}

TEST_F(NmSession, CallsBeforeOpenAndSecondOpensAreErrors) {
    Session s = Make();
    EXPECT_TRUE(s.Handle(Call(1, "TestComponent", json::array())));
    EXPECT_EQ(Last(), json({{"type", "error"}, {"id", 1}, {"error", "the control is not open"}}));
    ASSERT_TRUE(s.Handle(R"({"type":"open","origin":"https://bank.example"})"));
    EXPECT_TRUE(s.Handle(R"({"type":"open","origin":"https://other.example"})"));
    EXPECT_EQ(Last()["error"], "open: the control is already open");
    EXPECT_EQ(s.origin(), "https://bank.example");
}

TEST_F(NmSession, BadCallsGetErrorsAndTheSessionGoesOn) {
    Session s = Make();
    ASSERT_TRUE(s.Handle(R"({"type":"open","origin":"https://bank.example"})"));
    EXPECT_TRUE(s.Handle(Call(1, "FormatDisk", json::array())));
    EXPECT_EQ(Last()["error"], "unknown method \"FormatDisk\"");
    EXPECT_TRUE(s.Handle(Call(2, "SetLanguage", {"one"})));
    EXPECT_EQ(Last()["error"], "SetLanguage: argument of the wrong type (0x80020005)");
    EXPECT_TRUE(s.Handle(Call(3, "SetLanguage", {4294967296LL})));
    EXPECT_EQ(Last()["error"], "SetLanguage: integer argument out of range (0x8002000A)");
    EXPECT_TRUE(s.Handle(Call(4, "RemoveKey", json::array())));
    EXPECT_EQ(Last()["error"], "RemoveKey: wrong number of arguments (0x8002000E)");
    // A character the code page cannot hold becomes '?', as the scripting engine converted it.
    EXPECT_TRUE(s.Handle(Call(5, "SetKey", {"\xe4\xb8\xad", "41", "00", 0})));
    EXPECT_EQ(Last()["value"], "0");
    EXPECT_TRUE(s.Handle(Call(6, "RemoveKey", {"?"})));
    EXPECT_EQ(Last()["value"], "0");
    EXPECT_TRUE(s.Handle("not json"));
    EXPECT_EQ(
        Last(),
        json({{"type", "error"}, {"id", nullptr}, {"error", "malformed message: not valid JSON"}}));
    EXPECT_TRUE(s.Reject("message of 2000000 bytes exceeds the limit of 1048576 bytes"));
    EXPECT_EQ(Last()["id"], nullptr);
    EXPECT_TRUE(s.Handle(Call(7, "TestComponent", json::array())));
    EXPECT_EQ(Last()["value"], "OK|1,3,0,90");
}

TEST_F(NmSession, OpenCarriesThePagesLanguage) {
    SetLanguageIndex(kLanguagePolish);
    Session s = Make();
    ASSERT_TRUE(s.Handle(R"({"type":"open","origin":"https://bank.example","language":2})"));
    EXPECT_EQ(LanguageIndex(), kLanguageGerman);
    Session t = Make();
    ASSERT_TRUE(t.Handle(R"({"type":"open","origin":"https://bank.example","language":null})"));
    EXPECT_EQ(LanguageIndex(), kLanguageGerman);  // no language given: left as it is
    Session u = Make();
    ASSERT_TRUE(u.Handle(R"({"type":"open","origin":"https://bank.example","language":9})"));
    EXPECT_EQ(LanguageIndex(), kLanguageGerman);  // as SetLanguage(9) would
    SetLanguageIndex(kLanguagePolish);
}

TEST_F(NmSession, WrongPasswordEventReachesThePageInUtf8) {
    Session s = Make();
    ASSERT_TRUE(s.Handle(R"({"type":"open","origin":"https://bank.example"})"));
    CKeysStorageComp& comp = s.control().component();
    comp.EnsureBridge();
    EXPECT_EQ(comp.bridge().status(), 0);  // a control on a page finds its document
    sent_.clear();
    // "Łódź" in Windows-1250, as the component keeps key names.
    comp.bridge().WrongPasswordEvent("", "k1", "\xA3\xF3\x64\x9F", 1);
    ASSERT_EQ(sent_.size(), 1u);
    EXPECT_EQ(Last(), json({{"type", "script"},
                            {"function", "componentWKPEvent"},
                            {"args",
                             {"", "k1",
                              "\xc5\x81\xc3\xb3"
                              "d\xc5\xba",
                              "1"}}}));
}

TEST_F(NmSession, AGoneBrowserEndsTheSession) {
    bool up = true;
    Session s([&](std::string_view) { return up; }, {"https://bank.example"});
    ASSERT_TRUE(s.Handle(R"({"type":"open","origin":"https://bank.example"})"));
    up = false;
    EXPECT_FALSE(s.Handle(R"({"type":"call","id":1,"method":"TestComponent"})"));
}

}  // namespace
}  // namespace vq::nm
