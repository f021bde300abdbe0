// The automation script that answers the user interface in place of a person, one line per
// answer. Parsing is Qt-free; the scripted back end (platform/qtui) carries the commands out.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vq::ui {

struct ScriptCommand {
    enum class Verb {
        kDialog,      // dialog ID: the waiting dialog must be resource ID
        kType,        // type ID "text"
        kClick,       // click ID
        kSelect,      // select ID ROW[,ROW...]
        kDblClick,    // dblclick ID ROW
        kCheck,       // check ID
        kUncheck,     // uncheck ID
        kMouseDown,   // mouse down X Y
        kMouseUp,     // mouse up X Y
        kMouseMove,   // mouse move X Y
        kMouseLeave,  // mouse leave
        kKey,         // key enter|escape|tab|backspace
        kDump,        // dump
        kSnapshot,    // snapshot "file.png"
        kMessage,     // message ok|cancel|yes|no
        kFile,        // file "path" | file cancel
        kPrint,       // print "out.pdf" | print cancel
    };
    Verb verb = Verb::kDump;
    int line = 0;           // 1-based line number in the script
    int id = 0;             // control or resource id
    int x = 0, y = 0;       // mouse point
    std::vector<int> rows;  // select / dblclick
    std::string text;       // typed text, key name, answer word or path (UTF-8)
    bool cancel = false;    // file cancel / print cancel
};

const char* VerbName(ScriptCommand::Verb verb);

// Parses one line. Blank lines and comments ("#" first) give no command and no error.
// On a malformed line `error` is set and no command is returned.
std::optional<ScriptCommand> ParseScriptLine(std::string_view line, int lineNumber,
                                             std::string& error);

// Decodes a JSON string literal starting at s[pos] (the opening quote) into UTF-8; pos moves past
// the closing quote. False for a malformed literal, one that is not UTF-8 or one holding \u0000.
bool ParseJsonString(std::string_view s, std::size_t& pos, std::string& out);

// A whole script: the commands in order.
class UiScript {
  public:
    // Parses the text; false with `error` ("line N: ...") at the first bad line.
    bool Load(std::string_view text, std::string& error);
    bool LoadFile(const std::string& path, std::string& error);

    // The next command, or nothing at the end.
    const ScriptCommand* Next();
    std::size_t Remaining() const { return commands_.size() - next_; }
    const ScriptCommand* Peek() const {
        return next_ < commands_.size() ? &commands_[next_] : nullptr;
    }

  private:
    std::vector<ScriptCommand> commands_;
    std::size_t next_ = 0;
};

}  // namespace vq::ui
