#include "storage/key_location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/key_file.h"

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
    bool messagesExpected = false;
    std::vector<std::string> messages;

    int MessageBox(std::string_view text, std::string_view caption, ui::Icon icon,
                   ui::Buttons) override {
        if (!messagesExpected) ADD_FAILURE() << "no message box expected";
        EXPECT_TRUE(caption.empty());
        EXPECT_EQ(icon, ui::Icon::kError);
        messages.emplace_back(text);
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
    ui_.messagesExpected = true;
    SetLanguageIndex(kLanguageEnglish);
    bool stored = false;
    EXPECT_EQ(ChangeKeyLocation(
                  [&](const std::string&) {
                      stored = true;
                      return 0;
                  },
                  hex),
              code::kInvalidArgument);
    EXPECT_FALSE(stored);
    EXPECT_TRUE(hex.empty());
    // The user learns why the chosen file is not taken.
    ASSERT_EQ(ui_.messages.size(), 1u);
    EXPECT_EQ(ui_.messages[0].rfind("The selected file cannot be used because its name", 0), 0u);
    SetLanguageIndex(kLanguagePolish);
}

// The file dialog of the key file flows: only a path the component cannot hold is explained.
TEST_F(ChangeKeyLocationTest, ChooseFileExplainsOnlyAnUnusablePath) {
    ui::FileRequest request;
    request.defaultExt = "prv";
    std::string path = "before";
    ui_.answer = ui::kIdCancel;
    EXPECT_EQ(ChooseFile(request, path), ui::kIdCancel);
    EXPECT_EQ(path, "before");
    ui_.answer = ui::kIdOk;
    ui_.path = "/k.prv";
    EXPECT_EQ(ChooseFile(request, path), ui::kIdOk);
    EXPECT_EQ(path, "/k.prv");
    EXPECT_EQ(ui_.asked.defaultExt, "prv");
    EXPECT_TRUE(ui_.messages.empty());

    ui_.answer = ui::kIdAbort;
    ui_.messagesExpected = true;
    path = "before";
    EXPECT_EQ(ChooseFile(request, path), ui::kIdAbort);
    EXPECT_EQ(path, "before");
    ASSERT_EQ(ui_.messages.size(), 1u);
    EXPECT_EQ(ui_.messages[0], LoadText(kTextFileNameNotUsable));
    // Polish by default, in the code page as every text inside.
    EXPECT_EQ(ui_.messages[0].rfind("Nie mo\xBF"
                                    "na u\xBFy\xE6 wskazanego pliku",
                                    0),
              0u);
}

TEST(ChangeKeyLocationWithoutUi, IsCancelled) {
    std::string hex;
    EXPECT_EQ(ChangeKeyLocation([](const std::string&) { return 0; }, hex), code::kCancelled);
}

}  // namespace
}  // namespace vq
