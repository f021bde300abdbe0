#include "storage/key_location.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/ui/ui.h"

namespace vq {
namespace {

// Answers the file dialog as told and remembers what it was asked.
class FileUi final : public ui::Ui {
  public:
    int answer = ui::kIdOk;
    std::string path;
    ui::FileRequest asked;
    int calls = 0;

    int RunModal(QDialog&, int) override { return ui::kIdCancel; }
    int MessageBox(std::string_view, std::string_view, ui::Icon, ui::Buttons) override {
        ADD_FAILURE() << "no message box expected";
        return ui::kIdOk;
    }
    int OpenFile(const ui::FileRequest& request, std::string& out) override {
        ++calls;
        asked = request;
        if (answer == ui::kIdOk) out = path;
        return answer;
    }
    int Print(const ui::PrintRequest&) override { return ui::kIdCancel; }
    void Event(std::string_view, std::string_view) override {}
};

class ChangeKeyLocationTest : public ::testing::Test {
  protected:
    void SetUp() override { ui::SetCurrent(&ui_); }
    void TearDown() override { ui::SetCurrent(nullptr); }
    FileUi ui_;
};

TEST_F(ChangeKeyLocationTest, StoresTheChosenPathAndReturnsItAsHexWithoutZero) {
    ui_.path = "/home/u/klucze/m\xF3j.prv";  // Windows-1250 inside the component
    std::string stored;
    std::string hex;
    EXPECT_EQ(ChangeKeyLocation(
                  [&](const std::string& p) {
                      stored = p;
                      return 0;
                  },
                  hex),
              code::kOk);
    EXPECT_EQ(stored, ui_.path);
    EXPECT_EQ(hex, "2F686F6D652F752F6B6C75637A652F6DF36A2E707276");
    // An open dialog with every file shown and nothing preset.
    EXPECT_FALSE(ui_.asked.save);
    EXPECT_TRUE(ui_.asked.filter.empty());
    EXPECT_TRUE(ui_.asked.defaultExt.empty());
    EXPECT_TRUE(ui_.asked.defaultName.empty());
    EXPECT_EQ(ui_.asked.flags, ui::kOfnNoValidate);
}

TEST_F(ChangeKeyLocationTest, CancelStoresNothing) {
    ui_.answer = ui::kIdCancel;
    bool stored = false;
    std::string hex = "before";
    EXPECT_EQ(ChangeKeyLocation(
                  [&](const std::string&) {
                      stored = true;
                      return 0;
                  },
                  hex),
              code::kCancelled);
    EXPECT_FALSE(stored);
    EXPECT_EQ(hex, "before");
}

TEST_F(ChangeKeyLocationTest, FailedStoreOrUnusablePathGivesOne) {
    ui_.path = "/k.prv";
    std::string hex;
    EXPECT_EQ(ChangeKeyLocation([](const std::string&) { return 1; }, hex), code::kInvalidArgument);
    EXPECT_TRUE(hex.empty());
    ui_.answer = ui::kIdAbort;  // a path the code page cannot hold
    bool stored = false;
    EXPECT_EQ(ChangeKeyLocation(
                  [&](const std::string&) {
                      stored = true;
                      return 0;
                  },
                  hex),
              code::kInvalidArgument);
    EXPECT_FALSE(stored);
}

TEST(ChangeKeyLocationWithoutUi, IsCancelled) {
    std::string hex;
    EXPECT_EQ(ChangeKeyLocation([](const std::string&) { return 0; }, hex), code::kCancelled);
}

}  // namespace
}  // namespace vq
