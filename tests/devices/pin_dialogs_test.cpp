// The PIN and PUK dialogs driven by a scripted user: every length and equality check in order,
// the labels by mode and token flag, and the PUK letter printed to a PDF.
#include <gtest/gtest.h>

#include <regex>

#include "dialogs/devices/pin_dlg.h"
#include "dialogs/devices/pin_puk_dlg.h"
#include "resources/text_ids.h"
#include "tests/devices/scripted_fixture.h"
#include "tests/dialogs/qt_app.h"
#include "tests/fakes/test_env.h"

namespace vq {
namespace {

using testing::Utf8Text;

class PinDialogs : public testing::ScriptedUiTest {
  protected:
    // Types the three codes and presses OK.
    static std::string Codes(const std::string& old, const std::string& fresh,
                             const std::string& repeat) {
        return "type 202 \"" + old + "\"\ntype 203 \"" + fresh + "\"\ntype 204 \"" + repeat +
               "\"\nclick 1\n";
    }
    int Run(int mode, int token = 0) {
        first.wipe();
        second.wipe();
        return PinEntry(mode, token, first, second);
    }
    static std::string Label(int control, int text) {
        return "{\"id\":" + std::to_string(control) +
               ",\"kind\":\"static\",\"text\":" + ui::JsonQuote(Utf8Text(text));
    }
    SecureString first, second;
};

TEST_F(PinDialogs, ChangePinNeedsFourCharactersInEachFieldAndEqualCopies) {
    SetLanguageIndex(kLanguageEnglish);
    Script("dialog 417\ndump\n" + Codes("123", "5678", "5678") + "message ok\n" +
           Codes("1234", "567", "5678") + "message ok\n" + Codes("1234", "5678", "567") +
           "message ok\n" + Codes("1234", "5678", "5679") + "message ok\n" +
           Codes("123499", "567888", "5678"));
    ASSERT_EQ(Run(CPinDlg::kChangePin), ui::kIdOk);
    EXPECT_EQ(first.view(), "1234");  // a PIN field takes four characters, no more
    EXPECT_EQ(second.view(), "5678");
    ExpectScriptDone();
    EXPECT_EQ(Count({"\"event\":\"message\"", ErrorBox(kTextPinTooShort)}), 3);
    const int differ = Find({"\"event\":\"message\"", ErrorBox(kTextPinsDiffer)});
    EXPECT_GT(differ, Find({"\"event\":\"message\"", ErrorBox(kTextPinTooShort)}));
    EXPECT_GE(Find({"\"event\":\"dump\"", Label(226, kTextPin), Label(227, kTextNewPin),
                    Label(228, kTextRepeatNewPin)}),
              0);
    EXPECT_GE(Find({"\"event\":\"dialog-open\",\"id\":417",
                    ui::JsonLine().Str("title", Utf8Text(kTextChangePin)).Fields()}),
              0);
}

TEST_F(PinDialogs, ChangePukReportsDifferingPuksAndNamesTheCodeForAToken) {
    SetLanguageIndex(kLanguageEnglish);
    Script("dump\n" + Codes("1234567", "abcdefgh", "abcdefgh") + "message ok\n" +
           Codes("12345678", "abcdefgh", "abcdefgX") + "message ok\n" +
           Codes("12345678", "abcdefgh", "abcdefgh"));
    ASSERT_EQ(Run(CPinDlg::kChangePuk, 1), ui::kIdOk);
    EXPECT_EQ(first.view(), "12345678");
    EXPECT_EQ(second.view(), "abcdefgh");
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextPukTooShort)}), 0);
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextPuksDiffer)}), 0);
    EXPECT_GE(Find({"\"event\":\"dump\"", Label(226, kTextEnterPuk), Label(227, kTextNewPuk),
                    Label(228, kTextRepeatNewPuk)}),
              0);
    EXPECT_GE(Find({"\"event\":\"dialog-open\",\"id\":417",
                    ui::JsonLine().Str("title", Utf8Text(kTextChangePuk)).Fields()}),
              0);
}

TEST_F(PinDialogs, UnblockCardChecksThePukBeforeTheNewPin) {
    Script(Codes("1234567", "1111", "1111") + "message ok\n" + Codes("12345678", "111", "111") +
           "message ok\n" + Codes("12345678", "1111", "2222") + "message ok\n" +
           Codes("12345678", "1111", "1111"));
    ASSERT_EQ(Run(CPinDlg::kUnblockCard), ui::kIdOk);
    EXPECT_EQ(first.view(), "12345678");
    EXPECT_EQ(second.view(), "1111");
    ExpectScriptDone();
    const int puk = Find({"\"event\":\"message\"", ErrorBox(kTextPukTooShort)});
    const int pin = Find({"\"event\":\"message\"", ErrorBox(kTextPinTooShort)});
    const int differ = Find({"\"event\":\"message\"", ErrorBox(kTextPinsDiffer)});
    EXPECT_GE(puk, 0);
    EXPECT_GT(pin, puk);
    EXPECT_GT(differ, pin);
}

TEST_F(PinDialogs, UnblockTokenTakesShortCodesButNotDifferentCopies) {
    SetLanguageIndex(kLanguageEnglish);
    Script("dump\n" + Codes("12", "1", "2") + "message ok\n" + Codes("12", "1", "1"));
    ASSERT_EQ(Run(CPinDlg::kUnblockToken), ui::kIdOk);
    EXPECT_EQ(first.view(), "12");
    EXPECT_EQ(second.view(), "1");
    ExpectScriptDone();
    EXPECT_EQ(Count({"\"event\":\"message\""}), 1);
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextPinsDiffer)}), 0);
    EXPECT_GE(Find({"\"event\":\"dump\"", Label(226, kTextEnterPuk)}), 0);
    EXPECT_GE(Find({"\"event\":\"dialog-open\",\"id\":417",
                    ui::JsonLine().Str("title", Utf8Text(kTextUnblockUsbDevice)).Fields()}),
              0);
}

TEST_F(PinDialogs, CancelHandsNothingBack) {
    Script("type 202 \"1234\"\ntype 203 \"5678\"\nclick 2\n");
    first.assign("old");
    EXPECT_EQ(PinEntry(CPinDlg::kChangePin, first, second), ui::kIdCancel);
    EXPECT_EQ(first.view(), "old");
    EXPECT_TRUE(second.empty());
    ExpectScriptDone();
}

class PinPukDialog : public testing::ScriptedUiTest {
  protected:
    static std::string Codes(const std::string& puk, const std::string& puk2,
                             const std::string& pin, const std::string& pin2) {
        return "type 202 \"" + puk + "\"\ntype 203 \"" + puk2 + "\"\ntype 204 \"" + pin +
               "\"\ntype 205 \"" + pin2 + "\"\nclick 1\n";
    }
    std::string PrintQuestion() const {
        return ui::JsonLine()
            .Str("text", Utf8Text(kTextPrintPuk))
            .Str("caption", Utf8Text(kTextPrintPuk))
            .Str("icon", "none")
            .Str("buttons", "yes-no")
            .Fields();
    }
};

TEST_F(PinPukDialog, PukChecksComeBeforePinChecksAndNoPrintsNothing) {
    Script("dialog 418\n" + Codes("12345678", "1234567", "12", "1") + "message ok\n" +
           Codes("12345678", "12345679", "12", "1") + "message ok\n" +
           Codes("12345678", "12345678", "123", "123") + "message ok\n" +
           Codes("12345678", "12345678", "1234", "1235") + "message ok\n" +
           Codes("12345678", "12345678", "1234", "1234") + "message no\n");
    CPinPukDlg dialog;
    ASSERT_EQ(dialog.DoModal(), ui::kIdOk);
    EXPECT_EQ(dialog.NewPuk().view(), "12345678");
    EXPECT_EQ(dialog.NewPin().view(), "1234");
    EXPECT_EQ(dialog.PrintResult(), -1);
    ExpectScriptDone();
    const int ids[] = {kTextWrongPukLength, kTextPuksDiffer, kTextWrongPinLength, kTextPinsDiffer};
    int previous = -1;
    for (int id : ids) {
        const int at = Find({"\"event\":\"message\"", ErrorBox(id)});
        EXPECT_GT(at, previous) << id;
        previous = at;
    }
    EXPECT_GT(Find({"\"event\":\"message\"", PrintQuestion(), "\"answer\":\"no\""}), previous);
    EXPECT_EQ(Find({"\"event\":\"print\""}), -1);
}

TEST_F(PinPukDialog, EditsKeepToTheCodeLengths) {
    SetLanguageIndex(kLanguageEnglish);
    Script(Codes("123456789", "123456789", "12345", "12345") + "message no\n");
    CPinPukDlg dialog;
    ASSERT_EQ(dialog.DoModal(), ui::kIdOk);
    EXPECT_EQ(dialog.NewPuk().view(), "12345678");
    EXPECT_EQ(dialog.NewPin().view(), "1234");
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"dialog-open\",\"id\":418",
                    ui::JsonLine().Str("title", Utf8Text(kTextDeviceInitialization)).Fields()}),
              0);
}

// The words pdftotext finds on the page, with their boxes in points.
struct Word {
    double xMin, yMin, xMax, yMax;
    std::string text;
};

std::vector<Word> PdfWords(const std::string& pdf, double& pageWidth) {
    const std::string html = testing::RunCommand("pdftotext -bbox " + pdf + " -");
    std::smatch m;
    pageWidth = 0;
    if (std::regex_search(html, m, std::regex(R"re(<page width="([0-9.]+)")re")))
        pageWidth = std::stod(m[1]);
    std::vector<Word> words;
    const std::regex word(
        R"re(<word xMin="([0-9.]+)" yMin="([0-9.]+)" xMax="([0-9.]+)" yMax="([0-9.]+)">([^<]*)</word>)re");
    for (auto it = std::sregex_iterator(html.begin(), html.end(), word);
         it != std::sregex_iterator(); ++it)
        words.push_back({std::stod((*it)[1]), std::stod((*it)[2]), std::stod((*it)[3]),
                         std::stod((*it)[4]), (*it)[5]});
    return words;
}

TEST_F(PinPukDialog, YesPrintsTheLetterWithThePukCentredBetweenTheTwoTexts) {
    SetLanguageIndex(kLanguageEnglish);
    const std::string pdf = TempPath("puk.pdf");
    Script(Codes("87654321", "87654321", "1234", "1234") + "message yes\nprint \"" + pdf + "\"\n");
    CPinPukDlg dialog;
    ASSERT_EQ(dialog.DoModal(), ui::kIdOk);
    EXPECT_EQ(dialog.PrintResult(), ui::kIdOk);
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"print\"", "\"document\":\"\"", "\"result\":1", "\"pages\":1"}), 0);

    const std::string text = testing::RunCommand("pdftotext " + pdf + " -");
    const auto intro = text.find("PUK code - a personal unlock code.");
    const auto code = text.find("PUK Code: 87654321");
    const auto warning = text.find("It is essential to remember");
    ASSERT_NE(intro, std::string::npos) << text;
    ASSERT_NE(code, std::string::npos) << text;
    ASSERT_NE(warning, std::string::npos) << text;
    EXPECT_LT(intro, code);
    EXPECT_LT(code, warning);

    // The code line sits in the middle of the page, below the first block and above the last.
    double page = 0;
    const auto words = PdfWords(pdf, page);
    ASSERT_GT(page, 0);
    const Word* puk = nullptr;
    const Word* value = nullptr;
    for (std::size_t i = 0; i + 2 < words.size(); ++i) {
        if (words[i].text == "PUK" && words[i + 1].text == "Code:" &&
            words[i + 2].text == "87654321") {
            puk = &words[i];
            value = &words[i + 2];
        }
    }
    ASSERT_TRUE(puk && value);
    EXPECT_NEAR((puk->xMin + value->xMax) / 2, page / 2, 3.0);
    EXPECT_GT(puk->yMin, words.front().yMax);
    // The intro ends in two line breaks: an empty line lies between it and the code line.
    double introBottom = 0;
    for (const Word& w : words)
        if (w.yMax < puk->yMin) introBottom = std::max(introBottom, w.yMax);
    EXPECT_GT(puk->yMin - introBottom, (puk->yMax - puk->yMin) * 0.8);
}

TEST_F(PinPukDialog, CancelledPrintStillClosesWithOk) {
    Script(Codes("87654321", "87654321", "1234", "1234") + "message yes\nprint cancel\n");
    CPinPukDlg dialog;
    EXPECT_EQ(dialog.DoModal(), ui::kIdOk);
    EXPECT_EQ(dialog.PrintResult(), ui::kIdCancel);
    ExpectScriptDone();
}

}  // namespace
}  // namespace vq
