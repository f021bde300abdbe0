// The two Qt back ends of the user-interface seam and the pieces a host needs to use them.
#pragma once

#include <QPointer>
#include <QString>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "platform/ui/ui.h"
#include "platform/ui/ui_script.h"

class QApplication;
class QWidget;

namespace vq::ui {

// Environment variable that lets Qt's own diagnostics through in every run when it is "1".
inline constexpr const char* kDebugEnv = "VERIQUILL_DEBUG";

// The QApplication of a host: created once, before any dialog, destroyed last. `uiSpec` is the
// user interface the host will build (MakeUi below). Without a display Qt's offscreen platform
// is used unless QT_QPA_PLATFORM says otherwise, so a headless run never aborts looking for one.
// Qt's own messages (platform plugin notes, a missing runtime directory, ...) reach standard
// error only in interactive runs on a real platform, or with VERIQUILL_DEBUG=1: scripted and
// offscreen runs keep standard error for the program's own messages. Fatal ones always show.
class UiApplication {
  public:
    UiApplication(int& argc, char** argv, const std::string& uiSpec);
    ~UiApplication();
    UiApplication(const UiApplication&) = delete;
    UiApplication& operator=(const UiApplication&) = delete;

  private:
    std::unique_ptr<QApplication> app_;
    bool quiet_ = false;
};

// Whether a display is there for real windows (or QT_QPA_PLATFORM names a platform).
bool DisplayAvailable();

// The back end a --ui choice names: the choice itself, or for an empty one "qt" when a display is there
// and "none" otherwise. Hosts resolve it before creating the UiApplication, which without a
// display sets QT_QPA_PLATFORM and so would make any later call answer "qt".
std::string UiKind(const std::string& spec);

// Builds the user interface a host asked for:
//   "qt"           real windows (the default when `spec` is empty and a display is available);
//   "script:FILE"  the automation script FILE answers every dialog;
//   "none"         nobody answers: every dialog is cancelled (the default without a display).
// `transcriptPath` receives one JSON object per line; empty means stderr for the scripted back end
// and no transcript for the others. Returns nothing, with `error` set, for a bad spec, an
// unreadable or malformed script or a transcript that cannot be opened.
std::unique_ptr<Ui> MakeUi(const std::string& spec, const std::string& transcriptPath,
                           std::string& error);

// The transcript: one JSON object per line, flushed at once.
class Transcript {
  public:
    Transcript() = default;  // writes nowhere
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;
    // "" for stderr. False when the file cannot be created.
    bool Open(const std::string& path);
    void Write(std::string_view event, std::string_view fields);
    bool Active() const { return file_ != nullptr; }

  private:
    std::FILE* file_ = nullptr;
    bool own_ = false;
};

// Shared by both back ends: transcript events for dialogs, message boxes and file dialogs.
class QtUiBase : public Ui {
  public:
    void Event(std::string_view name, std::string_view fields) override;
    Transcript& transcript() { return transcript_; }

  protected:
    void RecordOpen(QDialog& dialog, int resourceId);
    void RecordClose(QDialog& dialog, int resourceId, int result);

    Transcript transcript_;
};

// Real windows on the user's display.
class InteractiveUi final : public QtUiBase {
  public:
    int RunModal(QDialog& dialog, int resourceId) override;
    int MessageBox(std::string_view text, std::string_view caption, Icon icon,
                   Buttons buttons) override;
    int OpenFile(const FileRequest& request, std::string& path) override;
    int Print(const PrintRequest& request) override;
};

// The automation script answers every request; see README for the format. When the script
// runs out, does not fit what is waiting, or names a control that is not there, the run fails:
// the error goes to stderr and to the transcript, the waiting dialog is closed as cancelled (a
// message box as dismissed), every later request is refused without reading the script, and
// Finish() returns non-zero so that the host exits non-zero.
class ScriptedUi final : public QtUiBase {
  public:
    ScriptedUi() = default;
    // Loads the script text; false with `error` at the first malformed line.
    bool Load(std::string_view text, std::string& error);
    bool LoadFile(const std::string& path, std::string& error);

    int RunModal(QDialog& dialog, int resourceId) override;
    int MessageBox(std::string_view text, std::string_view caption, Icon icon,
                   Buttons buttons) override;
    int OpenFile(const FileRequest& request, std::string& path) override;
    int Print(const PrintRequest& request) override;

    // Fails also when script lines are left unused.
    int Finish() override;
    bool Failed() const override { return failed_; }
    std::string Error() const override { return error_; }

  private:
    struct Run;
    void Step(Run& run);
    // Carries out one command on the waiting dialog; false (with the run failed) on an error.
    bool Apply(Run& run, const ScriptCommand& c);
    void Fail(const ScriptCommand* at, const std::string& message);
    const ScriptCommand* NextFor(const char* waiting);

    UiScript script_;
    bool failed_ = false;
    std::string error_;
};

// Component text shown by Qt.
QString FromAnsi(std::string_view ansi);
// A path a file dialog gives back, as component text (fs::FromOsName); nothing when the code page
// cannot hold it.
std::optional<std::string> ComponentPath(const QString& path);

// The visible controls of a dialog (widgets carrying the "vq_id" property) as a JSON array.
std::string DumpControls(QWidget& dialog);
// The widget of control `id` in `dialog`, or nullptr.
QWidget* FindControl(QWidget& dialog, int id);

}  // namespace vq::ui

class QPrinter;

namespace vq::ui {

// Qt's filter list for a filter in the component's form "Desc (*.a)|*.a|Desc2|*.b;*.c||"
// (code page text); empty for an empty filter.
QString QtFileFilter(std::string_view mfcFilter);
// Runs the drawing of `request` on an already configured printer; kIdOk or kIdAbort. `pages`
// receives the number of pages started.
int PrintTo(QPrinter& printer, const PrintRequest& request, int& pages);

}  // namespace vq::ui
