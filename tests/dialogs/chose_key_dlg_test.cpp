// The certificate choice dialog, driven by the scripted user over a real NSS database (built by
// tests/crypto/make_cert_db.sh).
#include "dialogs/chose_key_dlg.h"

#include <gtest/gtest.h>

#include <QGroupBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "crypto/system_cert_store.h"
#include "platform/codepage/codepage.h"
#include "platform/qtui/qt_ui.h"
#include "platform/ui/json_line.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/key_storage.h"
#include "tests/dialogs/qt_app.h"
#include "tests/support/test_paths.h"

namespace vq {
namespace {

const std::filesystem::path kData =
    std::filesystem::path(vq::test_paths::BinaryDir()) / "test-data" / "certstore";

std::string Utf8(std::string_view ansi) {
    return cp::AnsiToUtf8(ansi);
}

// The transcript members of a message box with the component's conventions: no caption.
std::string MessageFields(std::string_view ansiText, const char* icon) {
    return ui::JsonLine()
        .Str("text", Utf8(ansiText))
        .Str("caption", "")
        .Str("icon", icon)
        .Str("buttons", "ok")
        .Fields();
}

class ChoseKeyDlgTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        const std::string cmd = std::string(vq::test_paths::SourceDir()) +
                                "/tests/crypto/make_cert_db.sh " + kData.string();
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }
    void SetUp() override {
        ASSERT_EQ(0, store_.List());
        ASSERT_EQ(2u, store_.Count());
        ASSERT_TRUE(dir_.isValid());
        path_ = dir_.filePath("t.jsonl").toStdString();
        ASSERT_TRUE(ui_.transcript().Open(path_));
        ui::SetCurrent(&ui_);
        SetLanguageIndex(kLanguageEnglish);
        // "Praca" and "Łódź" (ISO-8859-2 hex, as the page declares names).
        ASSERT_EQ(0, keys_.SetKey("k1", "5072616361", "data", kind::kCertStore));
        ASSERT_EQ(0, keys_.SetKey("k2", "A3F364BC", "data", kind::kFile));
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
    // Indices of the transcript lines containing every piece.
    std::vector<int> FindAll(std::initializer_list<std::string> pieces) {
        const auto lines = Lines();
        std::vector<int> found;
        for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
            bool all = true;
            for (const auto& p : pieces) all = all && lines[i].find(p) != std::string::npos;
            if (all) found.push_back(i);
        }
        return found;
    }
    int Run(CChoseKeyDlg& dlg) { return ui::Current().RunModal(dlg, kChoseKeyDialogId); }

    CSystemCertStore store_{"sql:" + (kData / "plain").string()};
    CKeysStorage keys_;
    QTemporaryDir dir_;
    std::string path_;
    ui::ScriptedUi ui_;
};

TEST_F(ChoseKeyDlgTest, ListsTheStoreWithHalfWidthColumnsAndIcons) {
    Script("dialog 203\ndump\nclick 2\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    EXPECT_EQ(ui::kIdCancel, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    EXPECT_TRUE(dlg.Name().empty());
    EXPECT_TRUE(dlg.Certificate().empty());

    std::string rows = "[";
    for (std::size_t i = 0; i < store_.Count(); ++i) {
        if (i) rows += ',';
        rows += "[" + ui::JsonQuote(Utf8(store_.SubjectNames()[i])) + "," +
                ui::JsonQuote(Utf8(store_.IssuerNames()[i])) + "]";
    }
    rows += "]";
    EXPECT_EQ(1u, FindAll({R"("event":"dump","id":203)", R"("title":"Select certificate")",
                           R"("columns":["Issued for:","Issued by:"])", R"("rows":)" + rows,
                           R"("selected":[])"})
                      .size())
        << rows;
    EXPECT_EQ(1u, FindAll({R"("event":"dump")",
                           R"({"id":227,"kind":"static","text":"List of certificates")",
                           R"({"id":237,"kind":"static","text":"Name:")",
                           R"({"id":1,"kind":"button","text":"OK")"})
                      .size());

    auto* list = dlg.ControlAs<QTreeWidget>(chosekey::kList);
    ASSERT_NE(nullptr, list);
    ASSERT_EQ(2, list->topLevelItemCount());
    const int half = list->viewport()->width() / 2;
    EXPECT_GT(half, 50);
    EXPECT_EQ(half, list->columnWidth(0));
    EXPECT_EQ(half, list->columnWidth(1));
    for (int i = 0; i < 2; ++i) {
        const QIcon icon = list->topLevelItem(i)->icon(0);
        ASSERT_FALSE(icon.isNull());
        EXPECT_EQ(QSize(16, 16), icon.availableSizes().value(0));
    }
    EXPECT_EQ(QAbstractItemView::SingleSelection, list->selectionMode());
    EXPECT_FALSE(list->header()->sectionsClickable());
    EXPECT_FALSE(list->isSortingEnabled());
}

TEST_F(ChoseKeyDlgTest, OkChecksRunInOrderAndKeepTheDialogOpen) {
    Script(
        "click 1\n"
        "message ok\n"
        "type 202 \"Praca\"\n"
        "click 1\n"
        "message ok\n"
        "type 202 \"praca\"\n"
        "click 1\n"
        "message ok\n"
        "select 203 1\n"
        "click 1\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    ASSERT_EQ(ui::kIdOk, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    EXPECT_EQ("praca", dlg.Name());
    EXPECT_EQ(store_.Certificates()[1], dlg.Certificate());

    const auto empty = FindAll({MessageFields("Enter certificate name", "error")});
    const auto inUse = FindAll({MessageFields("This key name is already in use", "error")});
    const auto noRow = FindAll({MessageFields("Select certificate", "error")});
    ASSERT_EQ(1u, empty.size());
    ASSERT_EQ(1u, inUse.size());
    ASSERT_EQ(1u, noRow.size());
    EXPECT_LT(empty[0], inUse[0]);
    EXPECT_LT(inUse[0], noRow[0]);
    EXPECT_EQ(1u, FindAll({R"("event":"dialog-close","id":203)", R"("result":1)"}).size());
}

TEST_F(ChoseKeyDlgTest, TypedPolishNameMatchesTheNameDeclaredByThePage) {
    // "Łódź" typed is the key set's "Łódź" (declared as ISO-8859-2): refused; "Łodź" is free.
    Script(
        "select 203 0\n"
        "type 202 \"\\u0141\\u00f3d\\u017a\"\n"
        "click 1\n"
        "message ok\n"
        "type 202 \"\\u0141od\\u017a\"\n"
        "click 1\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    ASSERT_EQ(ui::kIdOk, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    EXPECT_EQ(1u, FindAll({MessageFields("This key name is already in use", "error")}).size());
    EXPECT_EQ("\xA3od\x9F", dlg.Name());  // Windows-1250
    EXPECT_EQ(store_.Certificates()[0], dlg.Certificate());
}

TEST_F(ChoseKeyDlgTest, EditTakesTwentyCharactersAndTheCheckStandsBehindIt) {
    Script(
        "select 203 0\n"
        "type 202 \"abcdefghijklmnopqrstU\"\n"
        "dump\n"
        "click 1\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    ASSERT_EQ(ui::kIdOk, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    EXPECT_EQ("abcdefghijklmnopqrst", dlg.Name());
    EXPECT_EQ(1u, FindAll({R"({"id":202,"kind":"edit","text":"abcdefghijklmnopqrst")"}).size());

    // A text that reaches the field past its limit (the limit lifted) is still refused.
    Script(
        "select 203 0\n"
        "type 202 \"abcdefghijklmnopqrstU\"\n"
        "click 1\n"
        "message ok\n"
        "click 2\n");
    CChoseKeyDlg unlimited(keys_);
    unlimited.SetCertificates(store_);
    unlimited.ControlAs<QLineEdit>(chosekey::kName)->setMaxLength(100);
    EXPECT_EQ(ui::kIdCancel, Run(unlimited));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    EXPECT_EQ(1u, FindAll({MessageFields("Key name is too long", "error")}).size());
    EXPECT_TRUE(unlimited.Name().empty());
}

TEST_F(ChoseKeyDlgTest, DoubleClickShowsTheFullNames) {
    Script(
        "dblclick 203 1\n"
        "message ok\n"
        "dblclick 203 0\n"
        "message ok\n"
        "key escape\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    EXPECT_EQ(ui::kIdCancel, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    const std::string second = "Issued for:\n" + store_.SubjectDns()[1] + "\n\nIssued by:\n" +
                               store_.IssuerDns()[1] + "\n";
    const std::string first = "Issued for:\n" + store_.SubjectDns()[0] + "\n\nIssued by:\n" +
                              store_.IssuerDns()[0] + "\n";
    const auto a = FindAll({R"("event":"message")", MessageFields(second, "none")});
    const auto b = FindAll({R"("event":"message")", MessageFields(first, "none")});
    ASSERT_EQ(1u, a.size());
    ASSERT_EQ(1u, b.size());
    EXPECT_LT(a[0], b[0]);
    // The full names are the distinguished names, not the columns' display names.
    EXPECT_NE(std::string::npos, store_.SubjectDns()[0].find('='));
}

TEST_F(ChoseKeyDlgTest, EmptyStoreAsksForACertificateOnceANameIsTyped) {
    Script(
        "dump\n"
        "type 202 \"Nowy\"\n"
        "click 1\n"
        "message ok\n"
        "click 2\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetRows({});
    EXPECT_EQ(ui::kIdCancel, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    EXPECT_EQ(1u, FindAll({R"("id":203,"kind":"list")", R"("rows":[])"}).size());
    EXPECT_EQ(1u, FindAll({MessageFields("Select certificate", "error")}).size());
}

TEST_F(ChoseKeyDlgTest, TextsFollowTheLanguageAtOpening) {
    Script("dump\nclick 2\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    SetLanguageIndex(kLanguagePolish);
    EXPECT_EQ(ui::kIdCancel, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    const std::string columns = "[" + ui::JsonQuote(Utf8(LoadText(kTextIssuedFor))) + "," +
                                ui::JsonQuote(Utf8(LoadText(kTextIssuedBy))) + "]";
    EXPECT_EQ(1u,
              FindAll({ui::JsonLine().Str("title", Utf8(LoadText(kTextSelectCertificate))).Fields(),
                       R"("columns":)" + columns})
                  .size());
    EXPECT_EQ(1u, FindAll({R"("columns":["Wystawiony dla:","Wystawiony przez:"])"}).size());
}

TEST_F(ChoseKeyDlgTest, LongestGroupTitleFitsAndTheColumnsShareTheWiderList) {
    Script("click 2\n");
    CChoseKeyDlg dlg(keys_);
    dlg.SetCertificates(store_);
    SetLanguageIndex(kLanguageGerman);
    EXPECT_EQ(ui::kIdCancel, Run(dlg));
    EXPECT_EQ(0, ui_.Finish()) << ui_.Error();
    auto* group = dlg.ControlAs<QGroupBox>(chosekey::kGroup);
    auto* list = dlg.ControlAs<QTreeWidget>(chosekey::kList);
    EXPECT_LE(group->fontMetrics().horizontalAdvance(group->title()), group->width());
    EXPECT_LE(group->geometry().right(), dlg.width());
    EXPECT_LE(dlg.Control(2)->geometry().right(), dlg.width());
    EXPECT_EQ(list->viewport()->width() / 2, list->columnWidth(0));
}

TEST(KeyNames, ListsTheKeySetNamesInOrder) {
    CKeysStorage keys;
    EXPECT_TRUE(KeyNames(keys).empty());
    ASSERT_EQ(0, keys.SetKey("a", "4F6E65", "d", kind::kFile));
    ASSERT_EQ(0, keys.SetKey("b", "A1", "d", kind::kFile));  // "Ą" in ISO-8859-2
    EXPECT_EQ((std::vector<std::string>{"One", "\xA5"}), KeyNames(keys));
}

}  // namespace
}  // namespace vq
