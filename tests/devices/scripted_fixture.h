// A scripted user for one test: the automation script answers every dialog and message box, and
// the transcript is read back to check what the user saw. The test file brings its folder's
// QApplication (qt_app.h).
#pragma once

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/codepage/codepage.h"
#include "platform/qtui/qt_ui.h"
#include "platform/ui/json_line.h"
#include "resources/text.h"

namespace vq::testing {

// Transcript form (UTF-8) of a looked-up text.
inline std::string Utf8Text(int id) {
    return cp::AnsiToUtf8(LoadText(id));
}

class ScriptedUiTest : public ::testing::Test {
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
    // The run went as scripted and used every line.
    void ExpectScriptDone() { EXPECT_EQ(ui_.Finish(), 0) << ui_.Error(); }
    std::vector<std::string> Lines() const {
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    // Index of the first transcript line from `from` containing every piece, or -1.
    int Find(std::initializer_list<std::string> pieces, int from = 0) const {
        const auto lines = Lines();
        for (int i = from; i < static_cast<int>(lines.size()); ++i) {
            bool all = true;
            for (const auto& p : pieces) all = all && lines[i].find(p) != std::string::npos;
            if (all) return i;
        }
        return -1;
    }
    int Count(std::initializer_list<std::string> pieces) const {
        int n = 0;
        for (int i = Find(pieces); i >= 0; i = Find(pieces, i + 1)) ++n;
        return n;
    }
    // The transcript line of an error box showing text `id` with an empty caption.
    static std::string ErrorBox(int id) {
        return ui::JsonLine()
            .Str("text", Utf8Text(id))
            .Str("caption", "")
            .Str("icon", "error")
            .Str("buttons", "ok")
            .Fields();
    }
    std::string TempPath(const std::string& name) const {
        return dir_.filePath(QString::fromStdString(name)).toStdString();
    }

    QTemporaryDir dir_;
    std::string path_;
    ui::ScriptedUi ui_;
};

}  // namespace vq::testing
