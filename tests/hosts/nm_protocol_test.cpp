#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "hosts/nm/access.h"
#include "hosts/nm/protocol.h"
#include "platform/registry/registry.h"

namespace vq::nm {
namespace {

std::string ErrorOf(std::string_view json) {
    const Request r = ParseRequest(json);
    const auto* bad = std::get_if<BadRequest>(&r);
    return bad ? bad->error : std::string("(accepted)");
}

TEST(NmProtocol, CallWithStringsIntegersAndNull) {
    const Request r =
        ParseRequest(R"({"type":"call","id":7,"method":"SetKey","args":["k\u0141",-3,2.0,null]})");
    const auto* c = std::get_if<CallRequest>(&r);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->id, 7);
    EXPECT_EQ(c->method, "SetKey");
    ASSERT_EQ(c->args.size(), 4u);
    EXPECT_EQ(std::get<std::string>(c->args[0]), "k\xc5\x81");
    EXPECT_EQ(std::get<std::int64_t>(c->args[1]), -3);
    EXPECT_EQ(std::get<std::int64_t>(c->args[2]), 2);  // scripts have one kind of number
    EXPECT_TRUE(std::holds_alternative<std::monostate>(c->args[3]));

    const Request none = ParseRequest(R"({"type":"call","id":1,"method":"TestComponent"})");
    ASSERT_TRUE(std::holds_alternative<CallRequest>(none));
    EXPECT_TRUE(std::get<CallRequest>(none).args.empty());
}

TEST(NmProtocol, MalformedMessagesAreRefusedWithAReason) {
    EXPECT_EQ(ErrorOf(""), "malformed message: not valid JSON");
    EXPECT_EQ(ErrorOf("{\"type\":\"call\""), "malformed message: not valid JSON");
    EXPECT_EQ(ErrorOf("[1,2]"), "malformed message: not a JSON object");
    EXPECT_EQ(ErrorOf(R"({"id":1})"), "malformed message: no type");
    EXPECT_EQ(ErrorOf(R"({"type":"eval","id":1})"), "malformed message: unknown type \"eval\"");
    EXPECT_EQ(ErrorOf(R"({"type":"call","method":"TestComponent"})"), "call: no id");
    EXPECT_EQ(ErrorOf(R"({"type":"call","id":"1","method":"TestComponent"})"), "call: no id");
    EXPECT_EQ(ErrorOf(R"({"type":"call","id":1})"), "call: no method name");
    EXPECT_EQ(ErrorOf(R"({"type":"call","id":1,"method":"X","args":"a"})"),
              "call: args is not an array");
    EXPECT_EQ(ErrorOf(R"({"type":"open"})"), "open: no origin");
    EXPECT_EQ(ErrorOf(R"({"type":"open","origin":"https://a","language":"1"})"),
              "open: language is not an integer");
    // Invalid UTF-8, raw or as an unpaired surrogate escape, is not text.
    EXPECT_EQ(ErrorOf("{\"type\":\"call\",\"id\":1,\"method\":\"X\",\"args\":[\"\xc3\x28\"]}"),
              "malformed message: not valid JSON");
    EXPECT_EQ(ErrorOf(R"({"type":"call","id":1,"method":"X","args":["\ud800"]})"),
              "malformed message: not valid JSON");
    EXPECT_EQ(ErrorOf("{\"type\":\"call\",\"id\":1,\"method\":\"X\",\"args\":[\"\xed\xa0\x80\"]}"),
              "malformed message: not valid JSON");
}

TEST(NmProtocol, ArgumentsOfOtherTypesNameTheArgument) {
    for (const char* bad : {"true", "1.5", "[]", "{}", "1e300", "18446744073709551615"}) {
        const std::string json =
            std::string(R"({"type":"call","id":3,"method":"SetLanguage","args":["a",)") + bad +
            "]}";
        const Request r = ParseRequest(json);
        const auto* b = std::get_if<BadRequest>(&r);
        ASSERT_NE(b, nullptr) << bad;
        EXPECT_EQ(b->id, 3) << bad;  // the reply can still answer the call
        EXPECT_EQ(b->error, "SetLanguage: argument 2 is neither a string, an integer nor null");
    }
}

TEST(NmProtocol, RepliesAreOneLineJson) {
    EXPECT_EQ(ResultReply(4, std::string("OK|1,3,0,90")),
              R"({"id":4,"type":"result","value":"OK|1,3,0,90"})");
    EXPECT_EQ(ResultReply(5, std::nullopt), R"({"id":5,"type":"result","value":null})");
    EXPECT_EQ(ErrorReply(std::nullopt, "x\"y"), R"({"error":"x\"y","id":null,"type":"error"})");
    EXPECT_EQ(ScriptCall("componentWKPEvent", {"", "k1",
                                               "\xc5\x81\xc3\xb3"
                                               "d\xc5\xba",
                                               "1"}),
              "{\"args\":[\"\",\"k1\",\"\xc5\x81\xc3\xb3"
              "d\xc5\xba\",\"1\"],\"function\":"
              "\"componentWKPEvent\",\"type\":\"script\"}");
    // A stray invalid byte never makes an invalid message.
    EXPECT_EQ(ResultReply(1, std::string("a\xff")),
              "{\"id\":1,\"type\":\"result\",\"value\":\"a\xef\xbf\xbd\"}");
}

TEST(NmAccess, OnlyTheExtensionsFixedIdentifiersAreCallers) {
    using V = std::vector<std::string>;
    EXPECT_EQ(IdentifyCaller(V{"chrome-extension://jjnhdbfhfgjpiajpomnpebcebdncpmnf/"}),
              Caller::kChromium);
    EXPECT_EQ(
        IdentifyCaller(V{"/usr/lib/mozilla/native-messaging-hosts/com.brantwell.veriquill.json",
                         "veriquill@brantwell.com"}),
        Caller::kFirefox);
    EXPECT_EQ(IdentifyCaller(V{"chrome-extension://aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa/"}),
              Caller::kUnknown);
    EXPECT_EQ(IdentifyCaller(V{"chrome-extension://jjnhdbfhfgjpiajpomnpebcebdncpmnf"}),
              Caller::kUnknown);
    EXPECT_EQ(IdentifyCaller(V{"/manifest.json", "other@example.com"}), Caller::kUnknown);
    EXPECT_EQ(IdentifyCaller(V{}), Caller::kUnknown);
}

TEST(NmAccess, HttpsOriginsAreNormalised) {
    EXPECT_EQ(NormalizeHttpsOrigin("https://Bank.Example"), "https://bank.example");
    EXPECT_EQ(NormalizeHttpsOrigin("https://bank.example:443/"), "https://bank.example");
    EXPECT_EQ(NormalizeHttpsOrigin("HTTPS://bank.example:08443"), "https://bank.example:8443");
    EXPECT_EQ(NormalizeHttpsOrigin("https://[::1]:8443"), "https://[::1]:8443");
    EXPECT_EQ(NormalizeHttpsOrigin("https://xn--d-uga.example"), "https://xn--d-uga.example");
    for (const char* bad :
         {"http://bank.example", "https://", "https://bank.example/login", "https://u@bank.example",
          "https://bank.example:0", "https://bank.example:65536", "https://bank.example:",
          "https://bank.example:8a", "https://.bank", "https://[::1", "https://b ank", "null",
          "chrome-extension://jjnhdbfhfgjpiajpomnpebcebdncpmnf", "https://bank.example:123456"})
        EXPECT_EQ(NormalizeHttpsOrigin(bad), std::nullopt) << bad;

    const std::vector<std::string> allowed = {"https://bank.example", "https://localhost:8443"};
    EXPECT_TRUE(OriginAllowed("https://BANK.example:443", allowed));
    EXPECT_TRUE(OriginAllowed("https://localhost:8443", allowed));
    EXPECT_FALSE(OriginAllowed("https://localhost", allowed));
    EXPECT_FALSE(OriginAllowed("http://bank.example", allowed));
    EXPECT_FALSE(OriginAllowed("https://evil.bank.example", allowed));
}

class NmAllowList : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/vq-nm-XXXXXX";
        dir_ = mkdtemp(pattern);
        setenv(reg::kMachineFileEnv, (dir_ + "/machine.reg").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    void Set(std::uint32_t type, const std::string& data) {
        reg::KeyPtr k;
        ASSERT_EQ(reg::CreateKey(reg::Root::LocalMachine, kConfigKey, reg::kKeyAllAccess, k), 0);
        ASSERT_EQ(reg::SetValue(*k, kAllowedOriginsValue, type,
                                reinterpret_cast<const unsigned char*>(data.data()),
                                static_cast<std::uint32_t>(data.size())),
                  0);
    }
    std::string dir_;
};

TEST_F(NmAllowList, NothingConfiguredAllowsNoPage) {
    std::vector<std::string> ignored;
    std::string error;
    EXPECT_TRUE(LoadAllowedOrigins(ignored, error).empty());
    EXPECT_TRUE(error.empty());
}

TEST_F(NmAllowList, MultiStringEntriesOtherThanHttpsOriginsAreIgnored) {
    Set(reg::kRegMultiSz,
        std::string("https://Bank.example\0http://bank.example\0https://localhost:8443/\0\0", 66));
    std::vector<std::string> ignored;
    std::string error;
    EXPECT_EQ(LoadAllowedOrigins(ignored, error),
              (std::vector<std::string>{"https://bank.example", "https://localhost:8443"}));
    EXPECT_EQ(ignored, std::vector<std::string>{"http://bank.example"});
    EXPECT_TRUE(error.empty());
}

TEST_F(NmAllowList, WrongValueTypeIsReported) {
    Set(reg::kRegDword, std::string("\x01\0\0\0", 4));
    std::vector<std::string> ignored;
    std::string error;
    EXPECT_TRUE(LoadAllowedOrigins(ignored, error).empty());
    EXPECT_EQ(error, "AllowedOrigins is not a string value");
}

}  // namespace
}  // namespace vq::nm
