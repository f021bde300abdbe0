#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <fstream>
#include <sstream>

#include "platform/qtui/qt_ui.h"

namespace vq::ui {
namespace {

// One QApplication for the whole run, gone before the process exits.
class AppEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "test_platform";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

  private:
    std::unique_ptr<QApplication> app_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

void App() {
    ASSERT_NE(QApplication::instance(), nullptr);
}

// A dialog with one control of each kind the script drives.
class SampleDialog : public QDialog {
  public:
    SampleDialog() {
        setWindowTitle(QString::fromUtf8("Próba"));
        resize(300, 200);
        edit = Add(new QLineEdit(this), 10, "edit", QRect(5, 5, 120, 20));
        ok = Add(new QPushButton("OK", this), 1, "button", QRect(200, 160, 80, 25));
        check = Add(new QCheckBox("Remember", this), 11, "check", QRect(5, 30, 120, 20));
        list = Add(new QListWidget(this), 12, "list", QRect(5, 55, 150, 80));
        list->addItems({"one", "two", "three"});
        combo = Add(new QComboBox(this), 13, "combo", QRect(160, 5, 120, 20));
        combo->addItems({"a", "b"});
        ok->setAutoDefault(false);  // Enter presses nothing
        connect(ok, &QPushButton::clicked, this, [this] { done(1); });
        connect(list, &QListWidget::itemDoubleClicked, this,
                [this](QListWidgetItem* item) { doubleClicked = item->text(); });
    }
    template <class T>
    T* Add(T* w, int id, const char* kind, QRect r) {
        w->setProperty("vq_id", id);
        w->setProperty("vq_kind", kind);
        w->setGeometry(r);
        return w;
    }
    QLineEdit* edit;
    QPushButton* ok;
    QCheckBox* check;
    QListWidget* list;
    QComboBox* combo;
    QString doubleClicked;
};

class ScriptedUiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        ASSERT_TRUE(dir_.isValid());
        transcriptPath_ = dir_.filePath("transcript.jsonl").toStdString();
        ASSERT_TRUE(ui_.transcript().Open(transcriptPath_));
    }
    void Load(std::string_view script) {
        std::string error;
        ASSERT_TRUE(ui_.Load(script, error)) << error;
    }
    std::vector<std::string> Transcript() {
        std::ifstream in(transcriptPath_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    std::string All() {
        std::string s;
        for (const auto& l : Transcript()) s += l + "\n";
        return s;
    }
    QTemporaryDir dir_;
    std::string transcriptPath_;
    ScriptedUi ui_;
};

TEST_F(ScriptedUiTest, DrivesTheControlsOfAWaitingDialog) {
    Load(
        "dialog 300\n"
        "type 10 \"Zażółć \\\"x\\\"\"\n"
        "check 11\n"
        "select 13 1\n"
        "dblclick 12 2\n"
        "select 12 1\n"
        "dump\n"
        "click 1\n");
    SampleDialog d;
    EXPECT_EQ(ui_.RunModal(d, 300), 1);
    EXPECT_EQ(d.edit->text(), QString::fromUtf8("Zażółć \"x\""));
    EXPECT_TRUE(d.check->isChecked());
    EXPECT_EQ(d.combo->currentIndex(), 1);
    EXPECT_EQ(d.doubleClicked, "three");
    EXPECT_EQ(d.list->currentRow(), 1);
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
    const auto lines = Transcript();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0], R"({"event":"dialog-open","id":300,"title":"Próba"})");
    EXPECT_NE(lines[1].find(R"("id":10,"kind":"edit","text":"Zażółć \"x\"","enabled":true,)"
                            R"("rect":[5,5,120,20])"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find(R"("kind":"check","text":"Remember","enabled":true,"checked":true)"),
              std::string::npos);
    EXPECT_NE(lines[1].find(R"("rows":[["one"],["two"],["three"]],"selected":[1])"),
              std::string::npos);
    EXPECT_NE(lines[1].find(R"("entries":["a","b"],"selection":1)"), std::string::npos);
    EXPECT_EQ(lines[2], R"({"event":"dialog-close","id":300,"title":"Próba","result":1})");
    EXPECT_EQ(lines[3], R"({"event":"end","ok":true})");
}

TEST_F(ScriptedUiTest, TypingReplacesTheFieldAndRespectsItsLimit) {
    Load("type 10 \"abcdef\"\ntype 10 \"\"\ntype 10 \"12345\"\nkey enter\nkey escape\n");
    SampleDialog d;
    d.edit->setText("old");
    d.edit->setMaxLength(4);
    EXPECT_EQ(ui_.RunModal(d, 300), 2);  // Escape rejects a plain dialog
    EXPECT_EQ(d.edit->text(), "1234");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST_F(ScriptedUiTest, WrongDialogStopsTheRun) {
    Load("dialog 201\nclick 1\n");
    SampleDialog d;
    EXPECT_EQ(ui_.RunModal(d, 300), 2);
    EXPECT_TRUE(ui_.Failed());
    EXPECT_NE(ui_.Error().find("script line 1: dialog 201 expected, but dialog 300"),
              std::string::npos)
        << ui_.Error();
    // Later requests are refused without reading the script.
    SampleDialog again;
    EXPECT_EQ(ui_.RunModal(again, 300), 2);
    EXPECT_EQ(ui_.MessageBox("x", "", Icon::kError, Buttons::kYesNo), kIdNo);
    EXPECT_NE(ui_.Finish(), 0);
    EXPECT_NE(All().find(R"({"event":"error","line":1,)"), std::string::npos) << All();
}

TEST_F(ScriptedUiTest, ScriptEndingWhileADialogWaitsCancelsIt) {
    Load("type 10 \"x\"\n");
    SampleDialog d;
    EXPECT_EQ(ui_.RunModal(d, 300), 2);
    EXPECT_TRUE(ui_.Failed());
    EXPECT_NE(ui_.Error().find("the script ended while dialog 300"), std::string::npos);
}

TEST_F(ScriptedUiTest, MissingControlAndAnswersOfTheWrongKindFail) {
    {
        Load("click 99\n");
        SampleDialog d;
        EXPECT_EQ(ui_.RunModal(d, 300), 2);
        EXPECT_NE(ui_.Error().find("no control 99"), std::string::npos);
    }
    {
        ScriptedUi hidden;
        std::string error;
        ASSERT_TRUE(hidden.Load("check 11\n", error));
        SampleDialog d;
        d.check->hide();
        EXPECT_EQ(hidden.RunModal(d, 300), 2);
        EXPECT_FALSE(d.check->isChecked());
        EXPECT_NE(hidden.Error().find("control 11 of dialog 300"), std::string::npos);
    }
    {
        // A disabled button is there but does nothing.
        ScriptedUi disabled;
        std::string error;
        ASSERT_TRUE(disabled.Load("click 1\nkey escape\n", error));
        SampleDialog d;
        d.ok->setEnabled(false);
        EXPECT_EQ(disabled.RunModal(d, 300), 2);
        EXPECT_FALSE(disabled.Failed());
    }
    ScriptedUi other;
    std::string error;
    ASSERT_TRUE(other.Load("message ok\n", error));
    SampleDialog d;
    EXPECT_EQ(other.RunModal(d, 300), 2);
    EXPECT_NE(other.Error().find("a message answer, but dialog 300"), std::string::npos);

    ScriptedUi third;
    ASSERT_TRUE(third.Load("click 1\n", error));
    EXPECT_EQ(third.MessageBox("x", "", Icon::kNone, Buttons::kOk), kIdOk);
    EXPECT_TRUE(third.Failed());
}

TEST_F(ScriptedUiTest, MessageBoxesAreAnsweredAndRecorded) {
    Load("message ok\nmessage no\nmessage yes\nmessage cancel\nmessage yes\n");
    // "Żółw" in Windows-1250.
    EXPECT_EQ(ui_.MessageBox("\xAF\xF3\xB3w", "", Icon::kError, Buttons::kOk), kIdOk);
    EXPECT_EQ(ui_.MessageBox("q", "Cap", Icon::kWarning, Buttons::kYesNo), kIdNo);
    EXPECT_EQ(ui_.MessageBox("q", "", Icon::kNone, Buttons::kYesNo), kIdYes);
    EXPECT_EQ(ui_.MessageBox("q", "", Icon::kNone, Buttons::kOkCancel), kIdCancel);
    EXPECT_FALSE(ui_.Failed());
    // "yes" does not fit an OK box.
    EXPECT_EQ(ui_.MessageBox("q", "", Icon::kNone, Buttons::kOk), kIdOk);
    EXPECT_TRUE(ui_.Failed());
    const auto lines = Transcript();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              R"({"event":"message","text":"Żółw","caption":"","icon":"error","buttons":"ok",)"
              R"("answer":"ok"})");
    EXPECT_EQ(lines[1], R"({"event":"message","text":"q","caption":"Cap","icon":"warning",)"
                        R"("buttons":"yes-no","answer":"no"})");
}

TEST_F(ScriptedUiTest, FileDialogAnswers) {
    const std::string existing = dir_.filePath("key.prv").toStdString();
    std::ofstream(existing) << "x";
    const std::string stem = dir_.filePath("newkey").toStdString();
    Load("file \"" + existing + "\"\nfile cancel\nfile \"" + stem + "\"\nfile \"" +
         dir_.filePath("missing.prv").toStdString() + "\"\n");
    FileRequest r;
    r.filter = "Pliki kluczy (*.prv)|*.prv||";
    r.flags = kOfnFileMustExist;
    std::string path;
    EXPECT_EQ(ui_.OpenFile(r, path), kIdOk);
    EXPECT_EQ(path, existing);
    EXPECT_EQ(ui_.OpenFile(r, path), kIdCancel);
    FileRequest save;
    save.save = true;
    save.defaultExt = "prv";
    save.defaultName = "newkey";
    EXPECT_EQ(ui_.OpenFile(save, path), kIdOk);
    EXPECT_EQ(path, stem + ".prv");  // the default extension is added
    EXPECT_FALSE(ui_.Failed());
    // A file that must exist but does not: no user could pick it.
    EXPECT_EQ(ui_.OpenFile(r, path), kIdCancel);
    EXPECT_TRUE(ui_.Failed());
    const auto lines = Transcript();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], R"({"event":"file-dialog","filter":"Pliki kluczy (*.prv)|*.prv||",)"
                        R"("default-ext":"","default-name":"","flags":4096,"save":false,)"
                        R"("answer":")" +
                            existing + R"(","result":1})");
    EXPECT_NE(lines[2].find(R"("default-ext":"prv","default-name":"newkey")"), std::string::npos);
}

TEST_F(ScriptedUiTest, FileOutsideTheCodePageIsNotUsable) {
    Load("file \"/tmp/\\u4e2d.prv\"\n");
    std::string path = "unchanged";
    EXPECT_EQ(ui_.OpenFile(FileRequest{}, path), kIdAbort);
    EXPECT_EQ(path, "unchanged");
    EXPECT_FALSE(ui_.Failed());
}

TEST_F(ScriptedUiTest, PrintsToPdf) {
    const std::string pdf = dir_.filePath("out.pdf").toStdString();
    Load("print \"" + pdf + "\"\nprint cancel\n");
    int calls = 0;
    PrintRequest r;
    r.documentName = "PUK";
    r.draw = [&](PrintTarget& t) {
        ++calls;
        EXPECT_GT(t.PageWidth(), 1000);
        EXPECT_GT(t.Dpi(), 100);
        t.Painter().drawText(100, 100, "page one");
        EXPECT_TRUE(t.NewPage());
        t.Painter().drawText(100, 100, "page two");
        return true;
    };
    EXPECT_EQ(ui_.Print(r), kIdOk);
    EXPECT_EQ(ui_.Print(r), kIdCancel);
    EXPECT_EQ(calls, 1);
    QFile f(QString::fromStdString(pdf));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.read(5).startsWith("%PDF"));
    EXPECT_NE(All().find(R"("answer":")" + pdf + R"(","result":1,"pages":2})"), std::string::npos)
        << All();
}

TEST_F(ScriptedUiTest, UnusedLinesFailTheRun) {
    Load("message ok\nmessage ok\n");
    EXPECT_EQ(ui_.MessageBox("a", "", Icon::kNone, Buttons::kOk), kIdOk);
    EXPECT_NE(ui_.Finish(), 0);
    EXPECT_NE(ui_.Error().find("script line 2: 1 script line(s) left unused"), std::string::npos)
        << ui_.Error();
}

TEST_F(ScriptedUiTest, NestedDialogsEachReadTheirOwnLines) {
    Load(
        "dialog 300\nclick 1\ndialog 301\ntype 10 \"inner\"\nclick 1\ntype 10 \"outer\"\n"
        "click 1\n");
    SampleDialog outer;
    SampleDialog inner;
    bool ranInner = false;
    // The outer OK opens the inner dialog the first time instead of closing.
    QObject::disconnect(outer.ok, nullptr, &outer, nullptr);
    QObject::connect(outer.ok, &QPushButton::clicked, &outer, [&] {
        if (!ranInner) {
            ranInner = true;
            EXPECT_EQ(ui_.RunModal(inner, 301), 1);
        } else {
            outer.done(1);
        }
    });
    EXPECT_EQ(ui_.RunModal(outer, 300), 1);
    EXPECT_EQ(inner.edit->text(), "inner");
    EXPECT_EQ(outer.edit->text(), "outer");
    EXPECT_EQ(ui_.Finish(), 0) << ui_.Error();
}

TEST(MakeUi, ChoosesTheBackEnd) {
    App();
    std::string error;
    EXPECT_EQ(MakeUi("bogus", "", error), nullptr);
    EXPECT_NE(error.find("unknown user interface"), std::string::npos);
    EXPECT_EQ(MakeUi("script:", "", error), nullptr);
    EXPECT_EQ(MakeUi("script:/nonexistent/x", "", error), nullptr);
    QTemporaryDir dir;
    const std::string script = dir.filePath("s.txt").toStdString();
    std::ofstream(script) << "click\n";
    EXPECT_EQ(MakeUi("script:" + script, "", error), nullptr);
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    std::ofstream(script) << "message ok\n";
    EXPECT_EQ(MakeUi("script:" + script, "/nonexistent/dir/t.jsonl", error), nullptr);
    auto ui = MakeUi("script:" + script, dir.filePath("t.jsonl").toStdString(), error);
    ASSERT_NE(ui, nullptr) << error;
    EXPECT_EQ(ui->MessageBox("a", "", Icon::kNone, Buttons::kOk), kIdOk);
    EXPECT_EQ(ui->Finish(), 0);
    auto none = MakeUi("none", "", error);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->MessageBox("a", "", Icon::kNone, Buttons::kYesNo), kIdNo);
    std::string path;
    EXPECT_EQ(none->OpenFile(FileRequest{}, path), kIdCancel);
    EXPECT_NE(MakeUi("qt", "", error), nullptr);
}

TEST(QtFileFilter, ConvertsTheComponentForm) {
    App();
    EXPECT_EQ(QtFileFilter(""), "");
    EXPECT_EQ(QtFileFilter("Key files|*.prv|All files (*.*)|*.*||"),
              "Key files (*.prv);;All files (*)");
    EXPECT_EQ(QtFileFilter("Keys (*.prv;*.der)|*.prv;*.der||"), "Keys (*.prv *.der)");
    EXPECT_EQ(QtFileFilter("Pliki kluczy \xB9|*.prv||"),
              QString::fromUtf8("Pliki kluczy ą (*.prv)"));
}

}  // namespace
}  // namespace vq::ui

namespace vq::ui {
namespace {

// The real windows, answered by a timer playing the user.
TEST(InteractiveUi, MessageBoxesAndDialogsAnswerWithTheButtonChosen) {
    App();
    InteractiveUi ui;
    const auto pressLater = [](int key) {
        QTimer::singleShot(0, [key] {
            QWidget* box = QApplication::activeModalWidget();
            ASSERT_NE(box, nullptr);
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QCoreApplication::sendEvent(box, &press);
        });
    };
    pressLater(Qt::Key_Escape);
    EXPECT_EQ(ui.MessageBox("q", "", Icon::kWarning, Buttons::kYesNo), kIdNo);
    pressLater(Qt::Key_Return);
    EXPECT_EQ(ui.MessageBox("q", "", Icon::kError, Buttons::kOk), kIdOk);
    pressLater(Qt::Key_Escape);
    EXPECT_EQ(ui.MessageBox("q", "", Icon::kNone, Buttons::kOkCancel), kIdCancel);
    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(box->windowTitle().isEmpty());
        EXPECT_EQ(box->text(), QString::fromUtf8("Żółw"));
        EXPECT_EQ(box->icon(), QMessageBox::Critical);
        box->button(QMessageBox::Yes)->click();
    });
    EXPECT_EQ(ui.MessageBox("\xAF\xF3\xB3w", "", Icon::kError, Buttons::kYesNo), kIdYes);

    QDialog d;
    QTimer::singleShot(0, &d, [&d] { d.reject(); });
    EXPECT_EQ(ui.RunModal(d, 300), kIdCancel);
}

}  // namespace
}  // namespace vq::ui
