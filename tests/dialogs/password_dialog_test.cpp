#include "dialogs/password_dialog.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <fstream>

#include "dialogs/entry.h"
#include "dialogs/keyboard_dlg.h"
#include "platform/codepage/codepage.h"
#include "platform/qtui/qt_ui.h"
#include "platform/ui/json_line.h"
#include "resources/text.h"
#include "storage/codes.h"
#include "storage/key_storage.h"
#include "tests/dialogs/qt_app.h"

namespace vq {
namespace {

// Transcript form of a looked-up text.
std::string Utf8Text(int id) {
    return cp::AnsiToUtf8(LoadText(id));
}

// The keyboard's client points for script lines.
std::string KeyDownUp(int key) {
    CKeyboardDlg kb;
    const auto& k = kb.Keys().at(key);
    const std::string at =
        std::to_string((k.left + k.right) / 2) + " " + std::to_string((k.top + k.bottom) / 2);
    return "mouse down " + at + "\nmouse up " + at + "\n";
}
std::string SpecialDownUp(int i) {
    CKeyboardDlg kb;
    const auto& s = kb.Specials().at(i);
    const std::string at =
        std::to_string((s.left + s.right) / 2) + " " + std::to_string((s.top + s.bottom) / 2);
    return "mouse down " + at + "\nmouse up " + at + "\n";
}

class ScriptedDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        path_ = dir_.filePath("t.jsonl").toStdString();
        ASSERT_TRUE(ui_.transcript().Open(path_));
        ui::SetCurrent(&ui_);
    }
    void TearDown() override {
        ui::SetCurrent(nullptr);
        SetLanguageIndex(kLanguagePolish);
    }
    void Script(const std::string& text) {
        std::string error;
        ASSERT_TRUE(ui_.Load(text, error)) << error;
    }
    std::vector<std::string> Lines() {
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // Index of the first transcript line containing every piece, or -1.
    int Find(std::initializer_list<std::string> pieces, int from = 0) {
        const auto lines = Lines();
        for (int i = from; i < static_cast<int>(lines.size()); ++i) {
            bool all = true;
            for (const auto& p : pieces) all = all && lines[i].find(p) != std::string::npos;
            if (all) return i;
        }
        return -1;
    }
    std::string MessageLine(int text, int caption) {
        return ui::JsonLine()
            .Str("text", Utf8Text(text))
            .Str("caption", Utf8Text(caption))
            .Str("icon", "error")
            .Str("buttons", "ok")
            .Fields();
    }
    QTemporaryDir dir_;
    std::string path_;
    ui::ScriptedUi ui_;
};

TEST_F(ScriptedDialogTest, PinModeNeedsFourDigitsAndTakesNoFifth) {
    Script(
        "dialog 201\n"
        "type 201 \"123\"\n"
        "click 1\n"
        "message ok\n"
        "type 201 \"12345\"\n"
        "dump\n"
        "click 1\n");
    SecureString pin;
    EXPECT_EQ(PasswordEntry(kind::kSmartCard, "ignored", pin), ui::kIdOk);
    EXPECT_EQ(pin.view(), "1234");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    EXPECT_GE(Find({R"("event":"message")", MessageLine(258, 252)}), 0);
    // The field is masked in the dump, one '*' per character.
    EXPECT_GE(Find({R"("event":"dump")", R"("id":201,"kind":"edit","text":"****")"}), 0);
    EXPECT_GE(Find({R"("event":"dialog-open","id":201)",
                    ui::JsonLine().Str("title", Utf8Text(252)).Fields()}),
              0);
    EXPECT_GE(Find({R"("event":"dialog-close","id":201)", R"("result":1)"}), 0);
}

TEST_F(ScriptedDialogTest, UsbTokenAlsoAsksForAPin) {
    Script("type 201 \"98765\"\nclick 1\n");
    SecureString pin;
    EXPECT_EQ(PasswordEntry(kind::kUsbToken, "", pin), ui::kIdOk);
    EXPECT_EQ(pin.view(), "9876");
}

TEST_F(ScriptedDialogTest, KeyPasswordMustNotBeEmpty) {
    Script("click 1\nmessage ok\ntype 201 \"x\"\nclick 1\n");
    SecureString password;
    EXPECT_EQ(PasswordEntry(kind::kFile, "Klucz", password), ui::kIdOk);
    EXPECT_EQ(password.view(), "x");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    EXPECT_GE(Find({R"("event":"message")", MessageLine(246, 312)}), 0);
}

TEST_F(ScriptedDialogTest, CancelStillDeliversWhatWasTyped) {
    Script("type 201 \"Za\\u017c\\u00f3\\u0142\\u0107\"\nclick 2\nkey escape\n");
    SecureString password;
    EXPECT_EQ(PasswordEntry(kind::kFile, "k", password), ui::kIdCancel);
    EXPECT_EQ(password.view(), "Za\xBF\xF3\xB3\xE6");  // Windows-1250
    EXPECT_EQ(PasswordEntry(kind::kPkcs8File, "k", password), ui::kIdCancel);
    EXPECT_TRUE(password.empty());
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(ScriptedDialogTest, OverlongPasswordIsCutAtTheBufferSize) {
    Script("type 201 \"" + std::string(1100, 'p') + "\"\nclick 1\n");
    SecureString password;
    EXPECT_EQ(PasswordEntry(kind::kFile, "k", password), ui::kIdOk);
    EXPECT_EQ(password.size(), kSecretBufferSize - 1);
}

TEST_F(ScriptedDialogTest, KeyboardEntryOfThreeDigitsInPinModeWarnsAtOnce) {
    Script(
        "dialog 201\n"
        "click 3\n"
        "dialog 202\n" +
        KeyDownUp(1) + KeyDownUp(2) + KeyDownUp(3) + SpecialDownUp(CKeyboardDlg::kEnter) +
        "message ok\n"
        "dump\n"
        "click 2\n");
    SecureString pin;
    EXPECT_EQ(PasswordEntry(kind::kSmartCard, "", pin), ui::kIdCancel);
    EXPECT_EQ(pin.view(), "123");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    const int closed = Find({R"("event":"dialog-close","id":202)", R"("result":1)"});
    ASSERT_GE(closed, 0);
    // The length message follows the keyboard's close directly.
    EXPECT_EQ(Find({R"("event":"message")", MessageLine(258, 252)}), closed + 1);
    EXPECT_GE(Find({R"("event":"dump")", R"("text":"***")"}, closed), 0);
}

TEST_F(ScriptedDialogTest, KeyboardEntryOfFourDigitsClosesTheDialog) {
    Script(
        "type 201 \"12\"\n"
        "click 3\n"
        "dialog 202\n"
        "dump\n" +
        KeyDownUp(3) + KeyDownUp(4) + KeyDownUp(5) + SpecialDownUp(CKeyboardDlg::kEnter));
    SecureString pin;
    EXPECT_EQ(PasswordEntry(kind::kSmartCard, "", pin), ui::kIdOk);
    // The keyboard started with the typed text and refused the fifth character.
    EXPECT_EQ(pin.view(), "1234");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    EXPECT_GE(Find({R"("event":"dump","id":202)", R"("id":202,"kind":"edit","text":"**")"}), 0);
}

TEST_F(ScriptedDialogTest, CancelledKeyboardLeavesTheFieldAlone) {
    Script("type 201 \"ab\"\nclick 3\n" + KeyDownUp(26) + "key escape\nclick 1\n");
    SecureString password;
    EXPECT_EQ(PasswordEntry(kind::kFile, "k", password), ui::kIdOk);
    EXPECT_EQ(password.view(), "ab");
}

TEST_F(ScriptedDialogTest, ScriptRunningOutCancelsAndFailsTheRun) {
    Script("type 201 \"secret\"\n");
    SecureString password;
    EXPECT_EQ(PasswordEntry(kind::kFile, "k", password), ui::kIdCancel);
    EXPECT_TRUE(ui_.Failed());
    EXPECT_NE(ui_.Finish(), 0);
}

TEST_F(ScriptedDialogTest, ShowKeyboardReturnsTheTypedText) {
    Script("dialog 202\n" + SpecialDownUp(CKeyboardDlg::kAltLeft) +
           SpecialDownUp(CKeyboardDlg::kShiftLeft) + KeyDownUp(37) + KeyDownUp(14) +
           "key enter\n"
           "dialog 202\nkey escape\n");
    SecureString text;
    EXPECT_EQ(ShowKeyboard(text), code::kOk);
    EXPECT_EQ(text.view(), "\xAFw");
    SecureString untouched("keep");
    EXPECT_EQ(ShowKeyboard(untouched), code::kCancelled);
    EXPECT_EQ(untouched.view(), "keep");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(ScriptedDialogTest, TextsFollowTheLanguageAtOpening) {
    SetLanguageIndex(kLanguageGerman);
    Script("dump\nclick 2\n");
    SecureString password;
    PromptPassword(CPasswordDialog::kLoginMode, "", password);
    EXPECT_GE(Find({R"("event":"dump")", ui::JsonLine().Str("text", Utf8Text(538)).Fields(),
                    ui::JsonLine().Str("text", Utf8Text(309)).Fields(),
                    ui::JsonLine().Str("text", Utf8Text(294)).Fields()}),
              0);
    EXPECT_GE(
        Find({R"("event":"dialog-open")", ui::JsonLine().Str("title", Utf8Text(312)).Fields()}), 0);
}

TEST_F(ScriptedDialogTest, EnglishTextsReachTheTranscript) {
    SetLanguageIndex(kLanguageEnglish);
    Script("type 201 \"12\"\nclick 1\nmessage ok\ndump\nclick 2\nclick 1\nmessage ok\nclick 2\n");
    SecureString secret;
    EXPECT_EQ(PasswordEntry(kind::kSmartCard, "", secret), ui::kIdCancel);
    EXPECT_EQ(PasswordEntry(kind::kFile, "Main key", secret), ui::kIdCancel);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    EXPECT_GE(Find({R"x("event":"message","text":"PIN too short (minimum 4 characters)",)x"
                    R"("caption":"Enter PIN","icon":"error","buttons":"ok","answer":"ok")"}),
              0);
    EXPECT_GE(
        Find({R"("event":"dump","id":201,"title":"Enter PIN")",
              R"("text":"Please type the PIN code.")", R"("text":"OK")", R"("text":"&Cancel")"}),
        0);
    EXPECT_GE(Find({R"("event":"message","text":"Password too short","caption":"Password")"}), 0);
    EXPECT_GE(Find({R"("event":"dialog-close","id":201,"title":"Password","result":2)"}), 0);
}

TEST(PasswordDialog, PromptsByMode) {
    CPasswordDialog key;
    key.SetSubject("M\xF3j klucz");
    key.show();
    EXPECT_EQ(key.Prompt(), LoadText(550) + " M\xF3j klucz");
    CPasswordDialog login;
    login.SetMode(CPasswordDialog::kLoginMode);
    login.show();
    EXPECT_EQ(login.Prompt(), LoadText(538));
    CPasswordDialog pin;
    pin.SetMode(CPasswordDialog::kPinMode);
    pin.show();
    EXPECT_EQ(pin.Prompt(), LoadText(399));
    EXPECT_EQ(pin.findChild<QLineEdit*>()->maxLength(), 4);
    EXPECT_EQ(key.findChild<QLineEdit*>()->maxLength(), 1023);
    EXPECT_EQ(key.findChild<QLineEdit*>()->echoMode(), QLineEdit::Password);
}

TEST(PasswordDialog, LongPromptTakesTwoLinesAndMovesTheRestDown) {
    CPasswordDialog shortPrompt;
    shortPrompt.SetSubject("k");
    shortPrompt.show();
    CPasswordDialog longPrompt;
    longPrompt.SetSubject(std::string(40, 'W'));
    longPrompt.show();
    auto* shortLabel = shortPrompt.ControlAs<QLabel>(235);
    auto* longLabel = longPrompt.ControlAs<QLabel>(235);
    const int line = QFontMetrics(shortPrompt.Control(201)->font()).height();
    EXPECT_EQ(shortLabel->height(), line + 4);
    EXPECT_EQ(longLabel->height(), 2 * line + 4);
    EXPECT_EQ(shortPrompt.Control(201)->y(), shortLabel->y() + line + 4 + 5);
    EXPECT_EQ(shortPrompt.Control(3)->y(), shortPrompt.Control(201)->y());
    EXPECT_EQ(shortPrompt.Control(1)->y(),
              shortPrompt.Control(3)->y() + shortPrompt.Control(3)->height() + 10);
    EXPECT_EQ(longPrompt.Control(1)->y() - shortPrompt.Control(1)->y(), line);
    EXPECT_EQ(longPrompt.height() - shortPrompt.height(), line);
    EXPECT_EQ(longPrompt.width(), shortPrompt.width());
}

TEST(PasswordDialog, WipeOverwritesTheFieldBeforeEmptyingIt) {
    QStringList seen;  // outlives the dialog, whose destructor wipes again
    CPasswordDialog d;
    d.SetPassword("secret");
    auto* edit = d.findChild<QLineEdit*>();
    QObject::connect(edit, &QLineEdit::textChanged, [&](const QString& t) { seen << t; });
    d.Wipe();
    EXPECT_EQ(seen, QStringList({"########", ""}));
    EXPECT_TRUE(d.Password().empty());
    EXPECT_TRUE(edit->text().isEmpty());
}

}  // namespace
}  // namespace vq
