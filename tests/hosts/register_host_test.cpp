// `veriquill register` from a folder whose name the component's code page holds or cannot hold:
// the registry keeps the module's path as component text, as every value it holds.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/codepage/codepage.h"
#include "platform/registry/reg_text.h"

namespace {

namespace fs = std::filesystem;

class RegisterHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("vq-register-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs `veriquill register` as a copy of the program in `folder`; the exit status.
    int RegisterFrom(const std::string& folder) {
        const fs::path bin = dir_ / folder;
        fs::create_directories(bin);
        fs::copy_file(VQ_HOST_EXE, bin / "veriquill");
        const std::string cmd = "env VERIQUILL_HKLM='" + (dir_ / "hklm.reg").string() +
                                "' VERIQUILL_HKCU='" + (dir_ / "hkcu.reg").string() + "' '" +
                                (bin / "veriquill").string() + "' register 2> '" +
                                (dir_ / "err.txt").string() + "'";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(dir_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
};

TEST_F(RegisterHostTest, AModulePathWithPolishLettersIsKeptInTheCodePage) {
    const std::string folder =
        "Program \u0105\u0107\u0119\u0142\u0144\u00f3\u015b\u017a\u017c "
        "\u0104\u0106\u0118\u0141\u0143\u00d3\u015a\u0179\u017b";
    ASSERT_EQ(RegisterFrom(folder), 0) << Read("err.txt");
    const std::string module = (dir_ / folder / "veriquill").string();
    vq::reg::RegDocument doc;
    ASSERT_TRUE(vq::reg::ParseRegText(Read("hklm.reg"), false, doc));
    int servers = 0;
    for (const auto& section : doc.sections) {
        if (section.path.empty() || section.path.back() != "InprocServer32") continue;
        for (const auto& value : section.values) {
            if (!value.name.empty()) continue;
            ++servers;
            EXPECT_EQ(value.data, *vq::cp::FromUtf8(module, "CP1250") + '\0');
        }
    }
    EXPECT_EQ(servers, 2);  // the control and its property page
}

TEST_F(RegisterHostTest, AModulePathOutsideTheCodePageIsRefusedWithAMessage) {
    EXPECT_EQ(RegisterFrom("\u041f\u0440\u043e\u0433\u0440\u0430\u043c\u043c\u0430"), 1);
    EXPECT_NE(Read("err.txt").find("cannot hold"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ / "hklm.reg"));
}

}  // namespace
