#include "platform/ui/ui_script.h"

#include "platform/ui/json_line.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace vq::ui {
namespace {

using Verb = ScriptCommand::Verb;

// Ids, rows and coordinates stay well inside int.
constexpr long kMaxId = 65535;
constexpr long kMaxCoordinate = 100000;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Splits a line into words; a word starting with '"' is a JSON string literal (kept raw).
class Tokens {
  public:
    explicit Tokens(std::string_view s) : s_(s) {}
    bool AtEnd() {
        Skip();
        return pos_ >= s_.size();
    }
    // A plain word (no quotes).
    bool Word(std::string& out) {
        Skip();
        if (pos_ >= s_.size() || s_[pos_] == '"') return false;
        const std::size_t start = pos_;
        while (pos_ < s_.size() && !IsSpace(s_[pos_])) ++pos_;
        out.assign(s_.substr(start, pos_ - start));
        return true;
    }
    bool Quoted(std::string& out) {
        Skip();
        if (pos_ >= s_.size() || s_[pos_] != '"') return false;
        if (!ParseJsonString(s_, pos_, out)) return false;
        // A literal must be followed by a space or the end of the line.
        return pos_ >= s_.size() || IsSpace(s_[pos_]);
    }
    bool PeekQuote() {
        Skip();
        return pos_ < s_.size() && s_[pos_] == '"';
    }

  private:
    void Skip() {
        while (pos_ < s_.size() && IsSpace(s_[pos_])) ++pos_;
    }
    std::string_view s_;
    std::size_t pos_ = 0;
};

bool ToInt(const std::string& w, long min, long max, int& out) {
    long v = 0;
    const char* end = w.data() + w.size();
    const auto r = std::from_chars(w.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || v < min || v > max) return false;
    out = static_cast<int>(v);
    return true;
}

bool Id(Tokens& t, int& out) {
    std::string w;
    return t.Word(w) && ToInt(w, 0, kMaxId, out);
}

bool Point(Tokens& t, ScriptCommand& c) {
    std::string wx, wy;
    return t.Word(wx) && t.Word(wy) && ToInt(wx, -kMaxCoordinate, kMaxCoordinate, c.x) &&
           ToInt(wy, -kMaxCoordinate, kMaxCoordinate, c.y);
}

bool Rows(Tokens& t, std::vector<int>& rows) {
    std::string w;
    if (!t.Word(w)) return false;
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = w.find(',', start);
        int row;
        if (!ToInt(w.substr(start, comma - start), 0, kMaxId, row)) return false;
        rows.push_back(row);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool OneOf(const std::string& w, std::initializer_list<const char*> words) {
    for (const char* x : words)
        if (w == x) return true;
    return false;
}

}  // namespace

const char* VerbName(Verb verb) {
    switch (verb) {
        case Verb::kDialog:
            return "dialog";
        case Verb::kType:
            return "type";
        case Verb::kClick:
            return "click";
        case Verb::kSelect:
            return "select";
        case Verb::kDblClick:
            return "dblclick";
        case Verb::kCheck:
            return "check";
        case Verb::kUncheck:
            return "uncheck";
        case Verb::kMouseDown:
            return "mouse down";
        case Verb::kMouseUp:
            return "mouse up";
        case Verb::kMouseMove:
            return "mouse move";
        case Verb::kMouseLeave:
            return "mouse leave";
        case Verb::kKey:
            return "key";
        case Verb::kDump:
            return "dump";
        case Verb::kSnapshot:
            return "snapshot";
        case Verb::kMessage:
            return "message";
        case Verb::kFile:
            return "file";
        case Verb::kPrint:
            return "print";
    }
    return "?";
}

bool ParseJsonString(std::string_view s, std::size_t& pos, std::string& out) {
    std::size_t end = pos;
    auto text = DecodeJsonString(s, end);
    // Raw bytes inside the literal must form UTF-8 too, and texts end at a zero byte inside the
    // component, so an escaped one is refused.
    if (!text || !IsValidUtf8(*text) || text->find('\0') != std::string::npos) return false;
    out = std::move(*text);
    pos = end;
    return true;
}

std::optional<ScriptCommand> ParseScriptLine(std::string_view line, int lineNumber,
                                             std::string& error) {
    error.clear();
    Tokens t(line);
    if (t.AtEnd()) return std::nullopt;
    std::string verb;
    if (!t.Word(verb)) {
        error = "a line must start with a command word";
        return std::nullopt;
    }
    if (verb[0] == '#') return std::nullopt;

    ScriptCommand c;
    c.line = lineNumber;
    bool ok = true;
    std::string w;
    if (verb == "dialog") {
        c.verb = Verb::kDialog;
        ok = Id(t, c.id);
    } else if (verb == "type") {
        c.verb = Verb::kType;
        ok = Id(t, c.id) && t.Quoted(c.text);
    } else if (verb == "click") {
        c.verb = Verb::kClick;
        ok = Id(t, c.id);
    } else if (verb == "select") {
        c.verb = Verb::kSelect;
        ok = Id(t, c.id) && Rows(t, c.rows);
    } else if (verb == "dblclick") {
        c.verb = Verb::kDblClick;
        ok = Id(t, c.id) && Rows(t, c.rows) && c.rows.size() == 1;
    } else if (verb == "check" || verb == "uncheck") {
        c.verb = verb == "check" ? Verb::kCheck : Verb::kUncheck;
        ok = Id(t, c.id);
    } else if (verb == "mouse") {
        ok = t.Word(w);
        if (ok && w == "down") {
            c.verb = Verb::kMouseDown;
            ok = Point(t, c);
        } else if (ok && w == "up") {
            c.verb = Verb::kMouseUp;
            ok = Point(t, c);
        } else if (ok && w == "move") {
            c.verb = Verb::kMouseMove;
            ok = Point(t, c);
        } else if (ok && w == "leave") {
            c.verb = Verb::kMouseLeave;
        } else {
            error = "mouse takes down X Y, up X Y, move X Y or leave";
            return std::nullopt;
        }
    } else if (verb == "key") {
        c.verb = Verb::kKey;
        ok = t.Word(c.text) && OneOf(c.text, {"enter", "escape", "tab", "backspace"});
        if (!ok) {
            error = "key takes enter, escape, tab or backspace";
            return std::nullopt;
        }
    } else if (verb == "dump") {
        c.verb = Verb::kDump;
    } else if (verb == "snapshot") {
        c.verb = Verb::kSnapshot;
        ok = t.Quoted(c.text) && !c.text.empty();
    } else if (verb == "message") {
        c.verb = Verb::kMessage;
        ok = t.Word(c.text) && OneOf(c.text, {"ok", "cancel", "yes", "no"});
        if (!ok) {
            error = "message takes ok, cancel, yes or no";
            return std::nullopt;
        }
    } else if (verb == "file" || verb == "print") {
        c.verb = verb == "file" ? Verb::kFile : Verb::kPrint;
        if (t.PeekQuote()) {
            ok = t.Quoted(c.text) && !c.text.empty();
        } else {
            ok = t.Word(w) && w == "cancel";
            c.cancel = true;
        }
    } else {
        error = "unknown command \"" + verb + "\"";
        return std::nullopt;
    }
    if (ok && !t.AtEnd()) {
        error = "unexpected text after the " + std::string(VerbName(c.verb)) + " command";
        return std::nullopt;
    }
    if (!ok) {
        error = "malformed " + std::string(VerbName(c.verb)) + " command";
        return std::nullopt;
    }
    return c;
}

bool UiScript::Load(std::string_view text, std::string& error) {
    commands_.clear();
    next_ = 0;
    int number = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        ++number;
        std::string lineError;
        auto c = ParseScriptLine(line, number, lineError);
        if (!lineError.empty()) {
            error = "line " + std::to_string(number) + ": " + lineError;
            commands_.clear();
            return false;
        }
        if (c) commands_.push_back(std::move(*c));
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return true;
}

bool UiScript::LoadFile(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read the script " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        error = "cannot read the script " + path;
        return false;
    }
    return Load(text.str(), error);
}

const ScriptCommand* UiScript::Next() {
    return next_ < commands_.size() ? &commands_[next_++] : nullptr;
}

}  // namespace vq::ui
