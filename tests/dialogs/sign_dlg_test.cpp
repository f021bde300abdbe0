#include "dialogs/sign_dlg.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <deque>
#include <fstream>
#include <functional>

#include "dialogs/colored_list_ctrl.h"
#include "dialogs/keyboard_dlg.h"
#include "platform/codepage/codepage.h"
#include "platform/qtui/qt_ui.h"
#include "platform/registry/registry.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "storage/key_storage.h"
#include "tests/dialogs/qt_app.h"

namespace vq {
namespace {

// The signing operations as the dialog sees them: records every call and answers with the codes
// a test programs.
class FakeOps : public ISigningOperations {
  public:
    CKeysStorage keys;
    int variant = 0;
    bool cardDriver = true;
    bool tokenDriver = true;
    std::deque<int> prepareCodes;  // empty: 0
    std::deque<int> signCodes;     // empty: 0
    int finishCode = 0;
    std::vector<std::string> calls;
    std::vector<std::string> passwords;  // "<none>" when the step was to ask itself
    std::vector<std::string> signedData;
    std::function<void()> duringSign;

    CKeysStorage& KeySet() override { return keys; }
    int DialogVariant() const override { return variant; }
    bool SmartCardDriverInstalled() const override { return cardDriver; }
    bool TokenDriverInstalled() const override { return tokenDriver; }
    int Prepare(const std::string& keyId, bool silent, std::string&) override {
        calls.push_back("prepare " + keyId + (silent ? " silent" : ""));
        return Pop(prepareCodes);
    }
    int SignStep(int mode, const SecureString* password, std::span<const unsigned char> data,
                 SecureBytes& result, std::string&, bool, bool& continueSigning) override {
        calls.push_back("sign " + std::to_string(mode));
        passwords.push_back(password ? std::string(password->view()) : "<none>");
        signedData.emplace_back(data.begin(), data.end());
        if (duringSign) duringSign();
        const int code = Pop(signCodes);
        if (code == code::kOk) result = {0xAB, 0xCD};
        continueSigning = true;
        return code;
    }
    int Finish() override {
        calls.push_back("finish");
        return finishCode;
    }

    void Add(const std::string& id, const std::string& name, int kind) {
        ASSERT_EQ(keys.SetKey(id.c_str(), HexEncode(name).c_str(), "data", kind), code::kOk);
    }

  private:
    static int Pop(std::deque<int>& codes) {
        if (codes.empty()) return code::kOk;
        const int c = codes.front();
        codes.pop_front();
        return c;
    }
};

std::string Hex(std::string_view bytes) {
    return HexEncode(bytes);
}

QString Text(int id) {
    return QString::fromStdString(cp::AnsiToUtf8(LoadText(id)));
}

const std::string kOrder = "_ZLECENIE_|a:Amount:100,00|b:Title:line1\r\nline2|";

class SignDlgTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        setenv(reg::kUserFileEnv, dir_.filePath("user.reg").toLocal8Bit().constData(), 1);
        setenv(reg::kMachineFileEnv, dir_.filePath("machine.reg").toLocal8Bit().constData(), 1);
        path_ = dir_.filePath("t.jsonl").toStdString();
        ASSERT_TRUE(ui_.transcript().Open(path_));
        ui::SetCurrent(&ui_);
        SetLanguageIndex(kLanguageEnglish);
        ops_ = std::make_unique<FakeOps>();
    }
    void TearDown() override {
        ui::SetCurrent(nullptr);
        SetLanguageIndex(kLanguagePolish);
        unsetenv(reg::kUserFileEnv);
        unsetenv(reg::kMachineFileEnv);
    }
    void Script(const std::string& text) {
        std::string error;
        ASSERT_TRUE(ui_.Load(text, error)) << error;
    }
    // An order-signing dialog over `order`, offering `filter`.
    std::unique_ptr<CSignDlg> Order(const std::string& order, const std::string& filter = "|F|",
                                    const std::string& preselected = "") {
        auto d = std::make_unique<CSignDlg>(*ops_);
        d->SetNoOrder(false);
        d->SetPurpose(purpose::kOrder);
        EXPECT_EQ(d->SetUp(Hex(order), filter, preselected), code::kOk);
        return d;
    }
    int Run(CSignDlg& d) {
        const int r = RunSignDialog(d);
        EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
        return r;
    }
    int Find(std::initializer_list<std::string> pieces) {
        std::ifstream in(path_);
        int i = 0;
        for (std::string l; std::getline(in, l); ++i) {
            bool all = true;
            for (const auto& p : pieces) all = all && l.find(p) != std::string::npos;
            if (all) return i;
        }
        return -1;
    }
    std::vector<std::string> Rows(CSignDlg& d, int column) {
        std::vector<std::string> out;
        for (int i = 0; i < d.Table()->topLevelItemCount(); ++i)
            out.push_back(d.Table()->topLevelItem(i)->text(column).toStdString());
        return out;
    }
    template <class T>
    T* Ctl(CSignDlg& d, int id) {
        return d.ControlAs<T>(id);
    }

    QTemporaryDir dir_;
    std::string path_;
    ui::ScriptedUi ui_;
    std::unique_ptr<FakeOps> ops_;
};

// --- The order view ---

TEST_F(SignDlgTest, TableShowsFourRowsWithTheHeaderRowShaded) {
    ops_->Add("F", "File key", kind::kFile);
    auto d = Order(kOrder);
    Script("dialog 210\nclick 2\n");
    EXPECT_EQ(Run(*d), ui::kIdCancel);
    EXPECT_EQ(Rows(*d, 0), (std::vector<std::string>{"ZLECENIE 1", "Amount", "Title", ""}));
    EXPECT_EQ(Rows(*d, 1), (std::vector<std::string>{"", "100,00", "line1", "line2"}));
    EXPECT_EQ(d->Table()->RowColor(0), QColor(0xDF, 0xEB, 0xFF));
    for (int row = 1; row < 4; ++row) EXPECT_EQ(d->Table()->RowColor(row), QColor(Qt::white));
    EXPECT_TRUE(d->Table()->isVisibleTo(d.get()));
    EXPECT_FALSE(d->RawView()->isVisibleTo(d.get()));
    EXPECT_EQ(d->Table()->headerItem()->text(0), Text(kTextOrderParameter));
    EXPECT_EQ(d->Table()->headerItem()->text(1), Text(kTextOrderValue));
    EXPECT_EQ(d->Table()->columnWidth(0), d->Table()->width() / 2 - 2);
    EXPECT_TRUE(ops_->calls.empty());
}

TEST_F(SignDlgTest, TwoOrdersNumberTheirHeadersAndEmptyValuesAddNoRow) {
    ops_->Add("F", "File key", kind::kFile);
    const std::string longLabel(200, 'L');
    auto d = Order("_ZLECENIE_|a:Amount:1|e:Empty:|_ZLECENIE_|c:" + longLabel + ":2|");
    Script("dialog 210\nclick 2\n");
    Run(*d);
    EXPECT_EQ(Rows(*d, 0), (std::vector<std::string>{"ZLECENIE 1", "Amount", "ZLECENIE 2",
                                                     longLabel.substr(0, 127)}));
    EXPECT_EQ(d->Table()->RowColor(2), QColor(0xDF, 0xEB, 0xFF));
    // Case matters: only the capitals mark a header row.
    EXPECT_TRUE(IsOrderHeaderRow(std::string_view("ZLECENIE 7")));
    EXPECT_FALSE(IsOrderHeaderRow(std::string_view("Zlecenie 7")));
}

TEST_F(SignDlgTest, MultilineViewShowsJoinedValuesOrTheWholeText) {
    ops_->Add("F", "File key", kind::kFile);
    const std::string text = "MULTILINE|" + kOrder;
    auto d = Order(text);
    Script("dialog 210\ndump\ncheck 206\ndump\ncheck 205\nclick 2\n");
    Run(*d);
    EXPECT_TRUE(d->Multiline());
    EXPECT_EQ(d->MultilineText(), "-100,00line1\r\nline2");
    // Back on "Formatted" the view shows the joined values again, and the radios stayed exclusive.
    EXPECT_TRUE(d->FormattedView());
    EXPECT_FALSE(Ctl<QRadioButton>(*d, CSignDlg::kIdBeingSigned)->isChecked());
    const QString underFormatted = d->RawView()->toPlainText();
    EXPECT_FALSE(d->Table()->isVisibleTo(d.get()));
    EXPECT_TRUE(d->RawView()->isVisibleTo(d.get()));
    EXPECT_TRUE(underFormatted.startsWith("-100,00line1"));
    EXPECT_TRUE(underFormatted.endsWith("line2"));
    EXPECT_EQ(d->Table()->topLevelItemCount(), 0);
    // Under "Being signed" the dump showed the whole text.
    EXPECT_GE(
        Find({R"("event":"dump")", R"("id":207)", R"(MULTILINE|_ZLECENIE_|a:Amount)",
              R"("id":206,"kind":"radio","text":"Being signed","enabled":true,"checked":true)"}),
        0);
    EXPECT_GE(Find({R"("event":"dump")", R"("id":207,"kind":"edit","text":"-100,00line1)"}), 0);
}

TEST_F(SignDlgTest, BeingSignedSwapsTableForRawTextInTableMode) {
    ops_->Add("F", "File key", kind::kFile);
    auto d = Order("no colon at all");
    Script("dialog 210\ncheck 206\nclick 2\n");
    Run(*d);
    EXPECT_EQ(d->Table()->topLevelItemCount(), 0);
    EXPECT_FALSE(d->FormattedView());
    EXPECT_FALSE(Ctl<QRadioButton>(*d, CSignDlg::kIdFormatted)->isChecked());
    EXPECT_FALSE(d->Table()->isVisibleTo(d.get()));
    EXPECT_TRUE(d->RawView()->isVisibleTo(d.get()));
    EXPECT_EQ(d->RawView()->toPlainText(), "no colon at all");
    // One line: the view keeps its template height.
    EXPECT_LT(d->RawView()->height(), d->Table()->height());
    EXPECT_FALSE(d->RawVerticalBar());
}

TEST_F(SignDlgTest, RawViewTakesTheTableHeightAndScrollBarsForLongText) {
    ops_->Add("F", "File key", kind::kFile);
    std::string text = "k:Wide:" + std::string(400, 'W') + "|";
    for (int i = 0; i < 60; ++i) text += "k:L:v\n";
    auto d = Order(text);
    Script("dialog 210\nclick 2\n");
    Run(*d);
    EXPECT_EQ(d->RawView()->height(), d->Table()->height());
    EXPECT_TRUE(d->RawVerticalBar());
    EXPECT_TRUE(d->RawHorizontalBar());

    // One wide line: template height plus a line for the horizontal bar.
    auto one = Order("k:Wide:" + std::string(400, 'W') + "|");
    auto small = Order("k:a:b|");
    ui::ScriptedUi other;
    ui::SetCurrent(&other);
    std::string error;
    ASSERT_TRUE(other.Load("dialog 210\nclick 2\ndialog 210\nclick 2\n", error));
    RunSignDialog(*one);
    RunSignDialog(*small);
    EXPECT_TRUE(one->RawHorizontalBar());
    EXPECT_FALSE(small->RawHorizontalBar());
    EXPECT_GT(one->RawView()->height(), small->RawView()->height());
    EXPECT_LT(one->RawView()->height(), one->Table()->height());
}

TEST_F(SignDlgTest, DisplayIsWindows1250WhileTheSignedBytesStayAsReceived) {
    ops_->Add("F", "File key", kind::kFile);
    auto d = Order("k:Zn:\xB1|");
    Script("dialog 210\nclick 1\n");
    EXPECT_EQ(Run(*d), ui::kIdOk);
    EXPECT_EQ(d->DisplayText(), "k:Zn:\xB9|");
    ASSERT_EQ(d->Table()->topLevelItemCount(), 1);
    EXPECT_EQ(d->Table()->topLevelItem(0)->text(1), QString(QChar(0x0105)));  // a with ogonek
    ASSERT_EQ(ops_->signedData.size(), 1u);
    EXPECT_EQ(ops_->signedData[0], "k:Zn:\xB1|");
    EXPECT_EQ(d->ResultCode(), code::kOk);
    EXPECT_EQ(d->Signature(), (SecureBytes{0xAB, 0xCD}));
}

TEST_F(SignDlgTest, BadHexShowsNoWindow) {
    CSignDlg d(*ops_);
    d.SetNoOrder(false);
    EXPECT_EQ(d.SetUp("ABC", "|F|", ""), code::kInvalidArgument);
    EXPECT_EQ(d.SetUp("", "|F|", ""), code::kInvalidArgument);
    EXPECT_EQ(d.SetUp("4G", "|F|", ""), code::kInvalidArgument);
    // An empty script would fail the run if the window opened.
    EXPECT_EQ(RunSignDialog(d), ui::kIdCancel);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    EXPECT_EQ(Find({R"("event":"dialog-open")"}), -1);
    EXPECT_TRUE(d.Session().data().empty());
}

// --- The key list ---

TEST_F(SignDlgTest, OnlyKeysOfTheFilterAreOfferedWithTheirLocationWords) {
    ops_->Add("A", "Alpha", kind::kFile);
    ops_->Add("B", "Beta", kind::kSmartCard);
    ops_->Add("C", "Gamma", kind::kBank);
    ops_->Add("D", "Delta", kind::kUsbToken);
    ops_->Add("E", "Eps", 8);
    ops_->Add("G", "Six", 6);
    // A position left from an earlier dialog must not make B signable.
    ops_->keys.Find("B")->listPosition = 0;
    auto d = Order(kOrder, "|A|C|D|E|G|", "B");
    Script("dialog 210\ndump\nclick 1\n");
    EXPECT_EQ(Run(*d), ui::kIdOk);
    QStringList entries;
    for (int i = 0; i < d->KeyList()->count(); ++i) entries << d->KeyList()->itemText(i);
    EXPECT_EQ(entries, (QStringList{"Alpha (File)", "Gamma (Bank`s repository)",
                                    "Delta (USB Device)", "Eps (File)", "Six (6)"}));
    // The preselected key is not offered: the first entry is chosen.
    EXPECT_EQ(d->KeyList()->currentIndex(), 0);
    EXPECT_EQ(ops_->keys.Find("B")->listPosition, -1);
    EXPECT_EQ(ops_->keys.Find("C")->listPosition, 1);
    ASSERT_FALSE(ops_->calls.empty());
    EXPECT_EQ(ops_->calls[0], "prepare A");
    EXPECT_EQ(d->ChosenKeyId(), "A");
}

TEST_F(SignDlgTest, PreselectedKeyIsSelectedAndAChoiceIsSigned) {
    ops_->Add("A", "Alpha", kind::kFile);
    ops_->Add("C", "Gamma", kind::kBank);
    ops_->Add("X", "Other", kind::kBank);
    auto d = Order(kOrder, "|A|C|X|", "C");
    Script("dialog 210\nselect 208 2\nclick 1\n");
    EXPECT_EQ(Run(*d), ui::kIdOk);
    EXPECT_GE(Find({R"("event":"dialog-open","id":210)"}), 0);
    EXPECT_EQ(ops_->calls, (std::vector<std::string>{"prepare X", "sign 4", "finish"}));
    EXPECT_EQ(d->ChosenKeyId(), "X");
    EXPECT_EQ(d->Session().selectedIndex(), 2);

    auto pre = Order(kOrder, "|A|C|X|", "C");
    ui::ScriptedUi other;
    ui::SetCurrent(&other);
    std::string error;
    ASSERT_TRUE(other.Load("dialog 210\nclick 2\n", error));
    RunSignDialog(*pre);
    EXPECT_EQ(pre->KeyList()->currentIndex(), 1);
}

TEST_F(SignDlgTest, EmptyFilterOffersNothingAndSignDoesNothing) {
    ops_->Add("A", "Alpha", kind::kFile);
    auto d = Order(kOrder, "", "A");
    Script("dialog 210\nclick 1\nkey enter\nclick 2\n");
    EXPECT_EQ(Run(*d), ui::kIdCancel);
    EXPECT_EQ(d->KeyList()->count(), 0);
    EXPECT_TRUE(ops_->calls.empty());
    EXPECT_EQ(Find({R"("event":"message")"}), -1);
}

TEST_F(SignDlgTest, DeviceKeysAskForAFourCharacterPin) {
    ops_->variant = 1;
    ops_->Add("F", "File key", kind::kFile);
    ops_->Add("S", "Card key", kind::kSmartCard);
    ops_->Add("U", "Token key", kind::kUsbToken);
    auto d = Order(kOrder, "|F|S|U|");
    Script(
        "dialog 210\n"
        "dump\n"
        "select 208 1\n"
        "type 213 \"123456\"\n"
        "dump\n"
        "select 208 2\n"
        "dump\n"
        "select 208 0\n"
        "type 213 \"a long password\"\n"
        "click 2\n");
    Run(*d);
    const std::string pwLabel = R"("id":227,"kind":"static","text":"Password for the key:")";
    const std::string pinLabel = R"("id":227,"kind":"static","text":"PIN code:")";
    const int first = Find({R"("event":"dump")", pwLabel});
    const int card =
        Find({R"("event":"dump")", pinLabel, R"("id":213,"kind":"edit","text":"****")"});
    EXPECT_GE(first, 0);
    EXPECT_GT(card, first);
    EXPECT_EQ(Find({R"("event":"dump")", R"("text":"*****")"}), -1);
    EXPECT_GE(Find({R"("event":"dump")", pinLabel, R"("selection":2)"}), 0);
    EXPECT_EQ(Ctl<QLabel>(*d, CSignDlg::kIdPasswordLabel)->text(), Text(kTextKeyPasswordLabel));
    EXPECT_EQ(d->PasswordField()->maxLength(), CSignDlg::kMaxPassword);
    EXPECT_EQ(d->PasswordField()->text(), "a long password");
}

TEST_F(SignDlgTest, MissingDriversAreReportedAndTheDialogStays) {
    ops_->Add("S", "Card key", kind::kSmartCard);
    ops_->Add("U", "Token key", kind::kUsbToken);
    ops_->cardDriver = false;
    ops_->tokenDriver = false;
    auto d = Order(kOrder, "|S|U|");
    Script("dialog 210\nclick 1\nmessage ok\nselect 208 1\nclick 1\nmessage ok\nclick 2\n");
    EXPECT_EQ(Run(*d), ui::kIdCancel);
    EXPECT_TRUE(ops_->calls.empty());
    const auto message = [&](int id) {
        return Find({R"("event":"message")", "\"text\":\"" + Text(id).toStdString() +
                                                 "\",\"caption\":\"\",\"icon\":\"error\""});
    };
    EXPECT_GE(message(kTextInstallReaderDriver), 0);
    EXPECT_GT(message(kTextInstallTokenDriver), message(kTextInstallReaderDriver));
}

// --- The Sign button ---

struct CodeCase {
    int code;
    enum { kClose, kStay, kMessage } outcome;
};

class SignCodeTest : public SignDlgTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(SignCodeTest, AttemptCodeDecidesWhetherTheDialogCloses) {
    const CodeCase c = GetParam();
    ops_->variant = 1;
    ops_->Add("F", "File key", kind::kFile);
    ops_->signCodes = {c.code};
    auto d = Order(kOrder);
    std::string script = "dialog 210\ntype 213 \"pw\"\nclick 1\n";
    if (c.outcome == CodeCase::kMessage) script += "message ok\n";
    if (c.outcome != CodeCase::kClose) script += "click 2\n";
    Script(script);
    const int result = Run(*d);
    EXPECT_EQ(result, c.outcome == CodeCase::kClose ? ui::kIdOk : ui::kIdCancel);
    EXPECT_EQ(d->ResultCode(), c.code);
    EXPECT_EQ(d->ChosenKeyId(), "F");
    const int message = Find({R"("event":"message")", "Card not initialized", R"("icon":"error")"});
    EXPECT_EQ(message >= 0, c.outcome == CodeCase::kMessage);
    std::vector<std::string> expected = {"prepare F", "sign 4"};
    if (c.code == code::kOk) expected.push_back("finish");
    EXPECT_EQ(ops_->calls, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SignCodeTest,
    ::testing::Values(CodeCase{0, CodeCase::kClose}, CodeCase{40, CodeCase::kClose},
                      CodeCase{64, CodeCase::kClose}, CodeCase{82, CodeCase::kClose},
                      CodeCase{91, CodeCase::kClose}, CodeCase{1, CodeCase::kClose},
                      CodeCase{7, CodeCase::kClose}, CodeCase{120, CodeCase::kMessage},
                      CodeCase{8, CodeCase::kStay}, CodeCase{9, CodeCase::kStay},
                      CodeCase{48, CodeCase::kStay}, CodeCase{54, CodeCase::kStay},
                      CodeCase{56, CodeCase::kStay}, CodeCase{57, CodeCase::kStay},
                      CodeCase{93, CodeCase::kStay}, CodeCase{94, CodeCase::kStay},
                      CodeCase{95, CodeCase::kStay}, CodeCase{133, CodeCase::kStay},
                      CodeCase{134, CodeCase::kStay}),
    [](const auto& param) { return "code" + std::to_string(param.param.code); });

TEST_F(SignDlgTest, ForgottenLocationRunsAnotherAttemptAtOnce) {
    for (int first : {code::kFingerprintMismatch, code::kPkcs8Unparsable}) {
        ops_ = std::make_unique<FakeOps>();
        ops_->variant = 2;
        ops_->Add("F", "File key", kind::kFile);
        ops_->signCodes = {first, code::kOk};
        auto d = Order(kOrder);
        ui::ScriptedUi other;
        ui::SetCurrent(&other);
        std::string error;
        ASSERT_TRUE(other.Load("dialog 210\ntype 213 \"pw\"\nclick 1\n", error));
        EXPECT_EQ(RunSignDialog(*d), ui::kIdOk) << first;
        EXPECT_EQ(other.Finish(), 0) << other.Error();
        // The key is prepared again and the typed password, not the mask, is used again.
        EXPECT_EQ(ops_->calls, (std::vector<std::string>{"prepare F", "sign 4", "prepare F",
                                                         "sign 4", "finish"}));
        EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"pw", "pw"}));
        EXPECT_EQ(d->ResultCode(), code::kOk);
    }
}

TEST_F(SignDlgTest, FailedAttemptsPrepareTheKeyAgain) {
    ops_->variant = 1;
    ops_->Add("F", "File key", kind::kFile);
    ops_->Add("G", "Other", kind::kFile);
    ops_->prepareCodes = {code::kCancelled};
    ops_->signCodes = {code::kWrongPassword, code::kOk};
    auto d = Order(kOrder, "|F|G|");
    Script(
        "dialog 210\n"
        "click 1\n"                       // prepare cancelled: stays, nothing signed
        "type 213 \"bad\"\nclick 1\n"     // wrong password: stays
        "type 213 \"good\"\nclick 1\n");  // signed
    EXPECT_EQ(Run(*d), ui::kIdOk);
    EXPECT_EQ(ops_->calls, (std::vector<std::string>{"prepare F", "prepare F", "sign 4",
                                                     "prepare F", "sign 4", "finish"}));
    EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"bad", "good"}));
}

// --- The password field ---

TEST_F(SignDlgTest, TypedPasswordIsTakenAndTheFieldMasked) {
    for (int variant : {1, 2}) {
        ops_ = std::make_unique<FakeOps>();
        ops_->variant = variant;
        ops_->Add("F", "File key", kind::kFile);
        // No card, then a wrong password, then success.
        ops_->signCodes = {code::kNoCard, code::kWrongPassword, code::kOk};
        auto d = Order(kOrder);
        std::vector<QString> duringSign;
        ops_->duringSign = [&] { duringSign.push_back(d->PasswordField()->text()); };
        ui::ScriptedUi other;
        ui::SetCurrent(&other);
        std::string error;
        ASSERT_TRUE(other.Load(
            "dialog 210\n"
            "type 213 \"secret\"\n"
            "click 1\n"  // 57: the field keeps the mask, the typed password is used again
            "click 1\n"  // 9: the field is emptied
            "type 213 \"second\"\n"
            "click 1\n",
            error));
        EXPECT_EQ(RunSignDialog(*d), ui::kIdOk);
        EXPECT_EQ(other.Finish(), 0) << other.Error();
        EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"secret", "secret", "second"}));
        ASSERT_EQ(duringSign.size(), 3u);
        for (const QString& shown : duringSign) EXPECT_EQ(shown, QString(16, '#'));
        EXPECT_TRUE(d->PasswordField()->text().isEmpty());
    }
}

TEST_F(SignDlgTest, WrongPinShowsTheTypedPinAgain) {
    ops_->variant = 1;
    ops_->Add("S", "Card key", kind::kSmartCard);
    ops_->signCodes = {code::kWrongPin};
    auto d = Order(kOrder, "|S|");
    Script("dialog 210\ntype 213 \"1234\"\nclick 1\nclick 2\n");
    EXPECT_EQ(Run(*d), ui::kIdCancel);
    EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"1234"}));
    EXPECT_EQ(d->PasswordField()->text(), "1234");
}

TEST_F(SignDlgTest, VariantZeroLeavesThePasswordToTheOperation) {
    ops_->variant = 0;
    ops_->Add("F", "File key", kind::kFile);
    auto d = Order(kOrder);
    Script("dialog 210\nclick 1\n");
    EXPECT_EQ(Run(*d), ui::kIdOk);
    EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"<none>"}));
    EXPECT_FALSE(d->PasswordField()->isVisibleTo(d.get()));
}

TEST_F(SignDlgTest, KeyboardReplacesThePassword) {
    ops_->variant = 1;
    ops_->Add("F", "File key", kind::kFile);
    auto d = Order(kOrder);
    CKeyboardDlg kb;
    const auto press = [&](int key) {
        const auto& k = kb.Keys().at(static_cast<std::size_t>(key));
        const std::string at =
            std::to_string((k.left + k.right) / 2) + " " + std::to_string((k.top + k.bottom) / 2);
        return "mouse down " + at + "\nmouse up " + at + "\n";
    };
    Script("dialog 210\ntype 213 \"typed\"\nclick 3\ndialog 202\n" + press(1) + press(2) +
           "key enter\nclick 1\n");
    EXPECT_EQ(Run(*d), ui::kIdOk);
    ASSERT_EQ(ops_->passwords.size(), 1u);
    EXPECT_EQ(ops_->passwords[0], "12");
}

// --- Layout ---

struct Shown {
    int height;
    bool group, table, raw, expand, topLine, lowerLine, note, passwordRow;
};

TEST_F(SignDlgTest, LayoutStacksTheRowsForEachMode) {
    ops_->variant = 1;
    ops_->Add("F", "File key", kind::kFile);
    const auto run = [&](bool noOrder, const std::string& script) {
        auto d = std::make_unique<CSignDlg>(*ops_);
        d->SetNoOrder(noOrder);
        d->SetPurpose(noOrder ? purpose::kChallenge : purpose::kOrder);
        EXPECT_EQ(d->SetUp(Hex(kOrder), "|F|", "F"), code::kOk);
        ui::ScriptedUi other;
        ui::SetCurrent(&other);
        std::string error;
        EXPECT_TRUE(other.Load(script, error));
        RunSignDialog(*d);
        EXPECT_EQ(other.Finish(), 0) << other.Error();
        ui::SetCurrent(&ui_);
        const auto vis = [&](int id) {
            return d->Control(id) && d->Control(id)->isVisibleTo(d.get());
        };
        Shown s{d->height(),
                vis(CSignDlg::kIdGroup),
                d->Table()->isVisibleTo(d.get()),
                d->RawView()->isVisibleTo(d.get()),
                vis(CSignDlg::kIdExpand),
                vis(CSignDlg::kIdTopSeparator),
                vis(CSignDlg::kIdLowerSeparator),
                vis(CSignDlg::kIdLoginNote),
                d->PasswordField()->isVisibleTo(d.get())};
        return std::make_pair(s, std::move(d));
    };
    auto [expanded, de] = run(false, "dialog 210\nclick 2\n");
    auto [collapsed, dc] = run(false, "dialog 210\nclick 232\nclick 2\n");
    auto [login, dl] = run(true, "dialog 210\nclick 2\n");

    EXPECT_GT(expanded.height, login.height);
    EXPECT_GT(login.height, collapsed.height);

    EXPECT_TRUE(expanded.group && expanded.table && expanded.expand && expanded.topLine &&
                expanded.lowerLine && expanded.passwordRow);
    EXPECT_FALSE(expanded.raw || expanded.note);
    EXPECT_FALSE(collapsed.group || collapsed.table || collapsed.raw || collapsed.lowerLine ||
                 collapsed.note);
    EXPECT_TRUE(collapsed.expand && collapsed.topLine && collapsed.passwordRow);
    EXPECT_FALSE(login.group || login.table || login.raw || login.expand || login.topLine ||
                 login.lowerLine);
    EXPECT_TRUE(login.note && login.passwordRow);

    // The expand button names what it does next.
    EXPECT_EQ(de->ControlAs<QPushButton>(CSignDlg::kIdExpand)->text(), Text(kTextCollapse));
    EXPECT_EQ(dc->ControlAs<QPushButton>(CSignDlg::kIdExpand)->text(), Text(kTextExpand));
    EXPECT_FALSE(dc->Expanded());

    // The stacking, top down, in the expanded order form.
    QWidget* button = de->Control(CSignDlg::kIdExpand);
    int y = button->height() - 2;
    EXPECT_EQ(de->Control(CSignDlg::kIdGroup)->y(), y + 2);
    EXPECT_EQ(de->Control(CSignDlg::kIdFormatted)->y(), y + 20);
    y += 20 + de->Control(CSignDlg::kIdFormatted)->height() + 15;
    EXPECT_EQ(de->Table()->y(), y);
    QWidget* lower = de->Control(CSignDlg::kIdLowerSeparator);
    EXPECT_EQ(lower->y(), y + de->Table()->height() + 2);
    y = lower->y() + lower->height() + 2 + 5;
    EXPECT_EQ(de->KeyList()->y(), y);
    EXPECT_EQ(de->Control(CSignDlg::kIdKeyLabel)->y(), y + 3);
    y += de->KeyList()->height() + 10;
    EXPECT_EQ(de->PasswordField()->y(), y + 6);
    EXPECT_EQ(de->Control(CSignDlg::kIdKeyboard)->y(), y);
    y += de->Control(CSignDlg::kIdKeyboard)->height() + 10;
    EXPECT_EQ(de->Control(ui::kIdOk)->y(), y);
    EXPECT_EQ(de->height(), y + de->Control(CSignDlg::kIdIcon)->height() + 6);

    // The log-in form: its own title, labels and button text.
    EXPECT_EQ(dl->windowTitle(), Text(kTextSelectKeyTitle));
    EXPECT_EQ(dl->ControlAs<QLabel>(CSignDlg::kIdKeyLabel)->text(), Text(kTextSelectKeyLabel));
    EXPECT_EQ(dl->ControlAs<QPushButton>(ui::kIdOk)->text(), Text(kTextOk));
    EXPECT_EQ(dl->Control(CSignDlg::kIdLoginNote)->y(), 15);
    EXPECT_EQ(de->windowTitle(), Text(kTextSignOrder));
    EXPECT_EQ(de->ControlAs<QPushButton>(ui::kIdOk)->text(), Text(kTextSignButton));
}

TEST_F(SignDlgTest, WithoutThePasswordInTheDialogThereIsNoCollapsing) {
    ops_->variant = 0;
    ops_->Add("F", "File key", kind::kFile);
    ops_->Add("K", "Store key", kind::kCertStore);
    auto d = Order(kOrder, "|F|K|");
    Script("dialog 210\nclick 2\n");
    Run(*d);
    EXPECT_FALSE(d->Control(CSignDlg::kIdExpand)->isVisibleTo(d.get()));
    EXPECT_FALSE(d->Control(CSignDlg::kIdTopSeparator)->isVisibleTo(d.get()));
    EXPECT_FALSE(d->Control(CSignDlg::kIdLowerSeparator)->isVisibleTo(d.get()));
    EXPECT_EQ(d->Control(CSignDlg::kIdGroup)->y(), 12 + 2);
    EXPECT_EQ(d->KeyList()->y(), d->Table()->y() + d->Table()->height() + 10 + 5);

    // A certificate-store key needs no password row even when the dialog takes the password.
    ops_->variant = 1;
    auto s = Order(kOrder, "|F|K|", "K");
    ui::ScriptedUi other;
    ui::SetCurrent(&other);
    std::string error;
    ASSERT_TRUE(other.Load("dialog 210\nclick 2\n", error));
    RunSignDialog(*s);
    EXPECT_FALSE(s->PasswordField()->isVisibleTo(s.get()));
    EXPECT_FALSE(s->Control(CSignDlg::kIdKeyboard)->isVisibleTo(s.get()));
    EXPECT_EQ(s->Control(ui::kIdOk)->y(), s->KeyList()->y() + s->KeyList()->height() + 10);
}

TEST_F(SignDlgTest, FlowSessionIsShownAndCarriesTheResult) {
    ops_->variant = 1;
    ops_->Add("F", "File key", kind::kFile);
    SignSession session(*ops_);
    session.set_no_order(false);
    ASSERT_EQ(session.SetUp(Hex(kOrder), "|F|", "F"), code::kOk);
    Script("dialog 210\ntype 213 \"pw\"\nclick 1\n");
    EXPECT_EQ(RunSignDialog(session), ui::kIdOk);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    EXPECT_EQ(session.resultCode(), code::kOk);
    EXPECT_EQ(session.chosenKeyId(), "F");
    EXPECT_EQ(session.signature(), (SecureBytes{0xAB, 0xCD}));
    EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"pw"}));
}

// --- Silent use ---

TEST_F(SignDlgTest, SilentAttemptSignsTheGivenDataWithoutAWindow) {
    ops_->Add("A", "Alpha", kind::kBank);
    ops_->Add("B", "Beta", kind::kBank);
    CSignDlg d(*ops_);
    d.SetPurpose(purpose::kDecrypt);
    d.SetSilent(true);
    EXPECT_EQ(d.SetUp("", "", "B"), code::kOk);  // no-order mode decodes nothing
    EXPECT_EQ(d.SigningAttempt(), code::kInvalidArgument);
    const unsigned char challenge[] = {1, 2, 3};
    d.SetData(challenge);
    EXPECT_EQ(d.SigningAttempt(), code::kKindNotUsable);
    d.SelectKeyById();
    EXPECT_EQ(d.SigningAttempt(), code::kOk);
    EXPECT_EQ(ops_->calls, (std::vector<std::string>{"prepare B silent", "sign 1", "finish"}));
    EXPECT_EQ(ops_->passwords, (std::vector<std::string>{"<none>"}));
    EXPECT_EQ(ops_->signedData[0], std::string("\x01\x02\x03"));
    EXPECT_EQ(d.ChosenKeyId(), "B");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

}  // namespace
}  // namespace vq
