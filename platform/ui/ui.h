// The user-interface seam: every modal dialog, message box, file dialog and print job goes through
// the process-wide Ui, so the core can ask the user without knowing Qt, and a script can stand in
// for the user. Texts crossing this interface are in the component's code page (Windows-1250).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QDialog;
class QPainter;

namespace vq::ui {

// Results, with the values of the Windows button identifiers the callers compare against.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdAbort = 3;  // the request could not be carried out
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

enum class Icon { kNone, kError, kWarning };
enum class Buttons { kOk, kOkCancel, kYesNo };

// File dialog flags, with their Windows values.
inline constexpr unsigned kOfnOverwritePrompt = 0x2;
inline constexpr unsigned kOfnHideReadOnly = 0x4;
inline constexpr unsigned kOfnNoValidate = 0x100;
inline constexpr unsigned kOfnPathMustExist = 0x800;
inline constexpr unsigned kOfnFileMustExist = 0x1000;

struct FileRequest {
    bool save = false;        // a save dialog instead of an open dialog
    std::string filter;       // "Key files (*.prv)|*.prv|All files (*.*)|*.*||"; empty: every file
    std::string defaultExt;   // appended to a chosen name without extension; no dot
    std::string defaultName;  // preset file name
    unsigned flags = 0;       // kOfn*
};

// What a print job draws on: a painter on the printer and the page geometry in device pixels.
class PrintTarget {
  public:
    virtual ~PrintTarget() = default;
    virtual QPainter& Painter() = 0;
    virtual int PageWidth() const = 0;
    virtual int PageHeight() const = 0;
    virtual int Dpi() const = 0;
    // Ends the current page and starts the next; false when the printer refuses.
    virtual bool NewPage() = 0;
};

struct PrintRequest {
    std::string documentName;
    // Draws every page; false when drawing failed (the job is then reported as failed).
    std::function<bool(PrintTarget&)> draw;
};

class Ui {
  public:
    virtual ~Ui() = default;

    // Runs `dialog` modally and returns its result (kIdOk, kIdCancel or another end code).
    // `resourceId` names its template; the scripted back end checks it against "dialog N".
    virtual int RunModal(QDialog& dialog, int resourceId) = 0;
    // A modal message box; returns the button chosen (kIdOk, kIdCancel, kIdYes, kIdNo).
    virtual int MessageBox(std::string_view text, std::string_view caption, Icon icon,
                           Buttons buttons) = 0;
    // A file dialog: kIdOk with the full path (code page bytes) in `path`, kIdCancel, or kIdAbort
    // when the chosen path has no form in the component's code page.
    virtual int OpenFile(const FileRequest& request, std::string& path) = 0;
    // The print dialog followed by the job: kIdOk printed, kIdCancel cancelled, kIdAbort failed.
    virtual int Print(const PrintRequest& request) = 0;

    // Writes one event line to the transcript, if there is one: `fields` are JSON members
    // without braces, e.g. "\"method\":\"Sign\",\"result\":\"0|\"" (see JsonLine).
    virtual void Event(std::string_view name, std::string_view fields) = 0;

    // End of the run: 0 when everything went as scripted, otherwise non-zero with Error() set.
    virtual int Finish() { return 0; }
    virtual bool Failed() const { return false; }
    virtual std::string Error() const { return {}; }
};

// The process-wide user interface, set by the host (nullptr restores the default). Without one,
// every request is refused: dialogs and file dialogs are cancelled, message boxes answer as if
// closed (kIdOk for an OK box, kIdCancel, or kIdNo), and the refusal is reported on stderr.
void SetCurrent(Ui* ui);
Ui& Current();
// A new instance of that refusing user interface.
std::unique_ptr<Ui> MakeRefusingUi();

// Shorthand for the component's message boxes: empty caption unless one is given.
int Message(std::string_view text, Icon icon = Icon::kError, Buttons buttons = Buttons::kOk,
            std::string_view caption = {});

// Small helpers shared by the back ends.
const char* IconName(Icon icon);
const char* ButtonsName(Buttons buttons);
// The answer a message box gives when it is dismissed without a choice.
int DismissAnswer(Buttons buttons);

}  // namespace vq::ui
