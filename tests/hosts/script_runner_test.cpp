#include "hosts/veriquill/script_runner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace vq::host {
namespace {

class ScriptRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("vq-runner-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        setenv("VERIQUILL_HKLM", (dir_ / "m.reg").c_str(), 1);
        setenv("VERIQUILL_HKCU", (dir_ / "u.reg").c_str(), 1);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    int Run(const std::string& script, RunOptions options = {}) {
        ScriptRunner runner(options);
        std::istringstream in(script);
        out_.str("");
        err_.str("");
        return runner.Run(in, out_, err_);
    }

    std::filesystem::path dir_;
    std::ostringstream out_, err_;
};

TEST_F(ScriptRunnerTest, OneLinePerCallAndStateLastsTheWholeRun) {
    EXPECT_EQ(Run("# a page\n"
                  "TestComponent()\n"
                  "\n"
                  "SetLanguage(1)\n"
                  "SetKey(\"k1\", \"4B31\", \"AB\", 1)\n"
                  "RemoveKey(\"k1\")\n"
                  "RemoveKey(\"k1\")\n"),
              0);
    EXPECT_EQ(out_.str(), "OK|1,3,0,90\n\n0\n0\n1\n");
    EXPECT_EQ(err_.str(), "");
}

TEST_F(ScriptRunnerTest, UnicodeCrossesAsTheAnsiCodePage) {
    // "Łódź" goes in as UTF-8, is held as Windows-1250 and comes back as UTF-8.
    EXPECT_EQ(Run("SetKeyLocation(\"k\", \"C5C2F3647A\")\nGetKeyLocation(\"k\")\n"
                  "SetKeyLocation(\"\u0141\u00f3d\u017a\", "
                  "\"41\")\nGetKeyLocation(\"\u0141\u00f3d\u017a\")\n"),
              0);
    EXPECT_EQ(out_.str(), "0\n0|C5C2F3647A00\n0\n0|4100\n");
}

TEST_F(ScriptRunnerTest, BadLinesAreNamedAndTheRestStillRuns) {
    EXPECT_EQ(Run("TestComponent(\n"
                  "NoSuchMethod()\n"
                  "SetSignDialogType(\"x\")\n"
                  "SetKey(\"only one\")\n"
                  "TestComponent()\n"),
              1);
    EXPECT_EQ(out_.str(), "OK|1,3,0,90\n");
    const std::string err = err_.str();
    EXPECT_NE(err.find("line 1: column"), std::string::npos) << err;
    EXPECT_NE(err.find("line 2: unknown method NoSuchMethod"), std::string::npos) << err;
    EXPECT_NE(err.find("line 3: SetSignDialogType: argument of the wrong type"), std::string::npos)
        << err;
    EXPECT_NE(err.find("line 4: SetKey: wrong number of arguments"), std::string::npos) << err;
}

TEST_F(ScriptRunnerTest, InvalidUtf8IsRefusedForThatLine) {
    EXPECT_EQ(Run("RemoveKey(\"\xC3\")\nTestComponent()\n"), 1);
    EXPECT_EQ(out_.str(), "OK|1,3,0,90\n");
    EXPECT_NE(err_.str().find("line 1: RemoveKey: argument is not valid UTF-8"), std::string::npos);
}

TEST_F(ScriptRunnerTest, EchoShowsEachCall) {
    RunOptions options;
    options.echo = true;
    EXPECT_EQ(Run("TestComponent()\n", options), 0);
    EXPECT_EQ(out_.str(), "> TestComponent()\nOK|1,3,0,90\n");
}

TEST_F(ScriptRunnerTest, WithoutAPageTheBridgeReports86AndSigningGoesOn) {
    RunOptions options;
    options.page = false;
    ScriptRunner runner(options);
    std::istringstream in("Sign(\"|k|\", \"k\", \"00\")\n");
    std::ostringstream out, err;
    runner.Run(in, out, err);
    EXPECT_EQ(runner.control().component().bridge().status(), 86);
    ScriptRunner withPage;
    std::istringstream in2("Sign(\"|k|\", \"k\", \"00\")\n");
    withPage.Run(in2, out, err);
    EXPECT_EQ(withPage.control().component().bridge().status(), 0);
}

}  // namespace
}  // namespace vq::host
