#include "platform/registry/reg_text.h"

#include <algorithm>
#include <cstdio>

#include "platform/codepage/codepage.h"

namespace vq::reg {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kWrapColumn = 76;

unsigned char Fold(unsigned char c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned char>(c - 0x20);
    // Windows-1250 lower-case letters and their capitals.
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<unsigned char>(c - 0x20);
    switch (c) {
        case 0x9A:
            return 0x8A;  // s caron
        case 0x9C:
            return 0x8C;  // s acute
        case 0x9D:
            return 0x8D;  // t caron
        case 0x9E:
            return 0x8E;  // z caron
        case 0x9F:
            return 0x8F;  // z acute
        case 0xB3:
            return 0xA3;  // l stroke
        case 0xB9:
            return 0xA5;  // a ogonek
        case 0xBA:
            return 0xAA;  // s cedilla
        case 0xBE:
            return 0xBC;  // l caron
        case 0xBF:
            return 0xAF;  // z dot
        default:
            return c;
    }
}

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

class Parser {
  public:
    Parser(bool allowEmpty, RegDocument& out, std::string* error)
        : allowEmpty_(allowEmpty), out_(out), error_(error) {}

    bool Run(std::string_view text) {
        std::string converted;
        if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
            static_cast<unsigned char>(text[1]) == 0xFE) {
            // Regedit's own exports are UTF-16LE; bring them to UTF-8 first.
            converted = cp::ToUtf8(text.substr(2), "UTF-16LE");
            text = converted;
        } else if (text.starts_with("\xEF\xBB\xBF")) {
            text.remove_prefix(3);
        }
        SplitLines(text);
        std::size_t i = 0;
        while (i < lines_.size() && TrimRight(lines_[i]).empty()) ++i;
        if (i == lines_.size()) {
            if (allowEmpty_) return true;
            return Fail(0, "no header");
        }
        const std::string_view header = TrimRight(lines_[i]);
        if (header == kHeader5) {
            out_.unicodeHeader = true;
        } else if (header != kHeader4) {
            return Fail(i, "not a REGEDIT4 or version 5.00 header");
        }
        for (++i; i < lines_.size(); ++i) {
            const std::size_t first = i;
            std::string line(TrimRight(lines_[i]));
            if (line.empty() || line[0] == ';') continue;
            if (line[0] == '[') {
                if (!ParseSection(line, first)) return false;
                continue;
            }
            // Long hex data continues on the next line after a trailing backslash.
            while (!line.empty() && line.back() == '\\' && i + 1 < lines_.size()) {
                line.pop_back();
                line += TrimLeft(TrimRight(lines_[++i]));
            }
            if (!ParseValue(line, first)) return false;
        }
        return true;
    }

  private:
    void SplitLines(std::string_view text) {
        std::size_t start = 0;
        while (start <= text.size()) {
            const std::size_t end = text.find('\n', start);
            if (end == std::string_view::npos) {
                lines_.push_back(text.substr(start));
                break;
            }
            lines_.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }

    bool Fail(std::size_t line, const char* what) {
        if (error_) *error_ = "line " + std::to_string(line + 1) + ": " + what;
        return false;
    }

    // Names in version 5.00 text are UTF-8 and live in the component's code page.
    bool Local(std::string& s) {
        if (!out_.unicodeHeader) return true;
        auto ansi = cp::Utf8ToAnsi(s);
        if (!ansi) return false;
        s = std::move(*ansi);
        return true;
    }

    bool ParseSection(std::string_view line, std::size_t n) {
        if (line.back() != ']') return Fail(n, "key line without closing bracket");
        std::string_view inner = line.substr(1, line.size() - 2);
        Section section;
        if (!inner.empty() && inner[0] == '-') {
            section.removeKey = true;
            inner.remove_prefix(1);
        }
        std::string pathText(inner);
        if (!Local(pathText)) return Fail(n, "key path is not valid UTF-8");
        std::string_view path = pathText;
        const std::size_t slash = path.find('\\');
        const std::string_view rootName = path.substr(0, slash);
        if (NamesEqual(rootName, "HKEY_LOCAL_MACHINE")) {
            section.root = Root::LocalMachine;
        } else if (NamesEqual(rootName, "HKEY_CURRENT_USER")) {
            section.root = Root::CurrentUser;
        } else {
            return Fail(n, "unknown root key");
        }
        if (slash != std::string_view::npos) {
            auto parts = SplitKeyPath(path.substr(slash + 1));
            if (!parts) return Fail(n, "invalid key path");
            section.path = std::move(*parts);
        }
        if (section.removeKey && section.path.empty()) return Fail(n, "a root cannot be removed");
        out_.sections.push_back(std::move(section));
        return true;
    }

    // A quoted string with the escapes \\ and \"; `pos` moves past the closing quote.
    bool Quoted(std::string_view line, std::size_t& pos, std::string& out) {
        if (pos >= line.size() || line[pos] != '"') return false;
        for (++pos; pos < line.size(); ++pos) {
            const char c = line[pos];
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c == '\\') {
                if (++pos >= line.size()) return false;
                if (line[pos] != '\\' && line[pos] != '"') return false;
                out += line[pos];
                continue;
            }
            if (IsControl(static_cast<unsigned char>(c)) && c != '\t') return false;
            out += c;
        }
        return false;
    }

    bool HexBytes(std::string_view text, std::string& out) {
        text = TrimLeft(TrimRight(text));
        if (text.empty()) return true;
        std::size_t pos = 0;
        while (true) {
            while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
            if (pos + 2 > text.size()) return false;
            const int hi = HexDigit(text[pos]);
            const int lo = HexDigit(text[pos + 1]);
            if (hi < 0 || lo < 0) return false;
            out += static_cast<char>(hi * 16 + lo);
            pos += 2;
            while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
            if (pos == text.size()) return true;
            if (text[pos] != ',') return false;
            ++pos;
        }
    }

    // Version 5.00 keeps string data in UTF-16LE; bring it to the component's code page.
    bool Utf16ToLocal(std::string& data) {
        if (data.size() % 2 != 0) return false;
        auto ansi = cp::Utf8ToAnsi(cp::ToUtf8(data, "UTF-16LE"));
        if (!ansi) return false;
        data = std::move(*ansi);
        return true;
    }

    bool ParseValue(std::string_view line, std::size_t n) {
        if (out_.sections.empty()) return Fail(n, "value before the first key");
        ValueLine value;
        std::size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!Quoted(line, pos, value.name) || !Local(value.name)) {
            return Fail(n, "bad value name");
        }
        if (!ValidValueName(value.name)) return Fail(n, "bad value name");
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size() || line[pos] != '=') return Fail(n, "missing '='");
        ++pos;
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        const std::string_view rest = line.substr(pos);
        if (rest == "-") {
            value.remove = true;
        } else if (!rest.empty() && rest[0] == '"') {
            std::size_t p = 0;
            if (!Quoted(rest, p, value.data) || p != rest.size()) return Fail(n, "bad string");
            if (!Local(value.data)) return Fail(n, "string is not valid UTF-8");
            value.type = kRegSz;
            value.data.push_back('\0');
        } else if (rest.starts_with("dword:")) {
            const std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) return Fail(n, "bad dword");
            std::uint32_t v = 0;
            for (char c : digits) {
                const int d = HexDigit(c);
                if (d < 0) return Fail(n, "bad dword");
                v = v * 16 + static_cast<std::uint32_t>(d);
            }
            value.type = kRegDword;
            for (int k = 0; k < 4; ++k) value.data.push_back(static_cast<char>(v >> (8 * k)));
        } else if (rest.starts_with("hex:")) {
            value.type = kRegBinary;
            if (!HexBytes(rest.substr(4), value.data)) return Fail(n, "bad hex data");
        } else if (rest.starts_with("hex(")) {
            const std::size_t close = rest.find("):");
            if (close == std::string_view::npos || close == 4 || close > 12) {
                return Fail(n, "bad value type");
            }
            std::uint32_t type = 0;
            for (char c : rest.substr(4, close - 4)) {
                const int d = HexDigit(c);
                if (d < 0) return Fail(n, "bad value type");
                type = type * 16 + static_cast<std::uint32_t>(d);
            }
            value.type = type;
            if (!HexBytes(rest.substr(close + 2), value.data)) return Fail(n, "bad hex data");
            if (out_.unicodeHeader &&
                (type == kRegSz || type == kRegExpandSz || type == kRegMultiSz)) {
                if (!Utf16ToLocal(value.data)) return Fail(n, "bad UTF-16 string data");
            }
        } else {
            return Fail(n, "unknown value data");
        }
        out_.sections.back().values.push_back(std::move(value));
        return true;
    }

    bool allowEmpty_;
    RegDocument& out_;
    std::string* error_;
    std::vector<std::string_view> lines_;
};

std::string Escape(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

bool PlainString(const std::string& data) {
    if (data.empty() || data.back() != '\0') return false;
    return std::all_of(data.begin(), data.end() - 1, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 0x20 && u < 0x7F;
    });
}

void WriteHex(std::string& out, std::string prefix, std::string_view data) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::size_t column = prefix.size();
    out += prefix;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            out += ',';
            ++column;
            if (column > kWrapColumn) {
                out += "\\\n  ";
                column = 2;
            }
        }
        const auto b = static_cast<unsigned char>(data[i]);
        out += kDigits[b >> 4];
        out += kDigits[b & 0xF];
        column += 2;
    }
    out += '\n';
}

void WriteValue(std::string& out, const RegValue& v) {
    std::string name = v.name.empty() ? "@" : "\"" + Escape(v.name) + "\"";
    if (v.type == kRegSz && PlainString(v.data)) {
        out +=
            name + "=\"" + Escape(std::string_view(v.data).substr(0, v.data.size() - 1)) + "\"\n";
    } else if (v.type == kRegDword && v.data.size() == 4) {
        std::uint32_t d = 0;
        for (int k = 3; k >= 0; --k) d = (d << 8) | static_cast<unsigned char>(v.data[k]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", d);
        out += name + "=dword:" + buf + "\n";
    } else if (v.type == kRegBinary) {
        WriteHex(out, name + "=hex:", v.data);
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "=hex(%x):", v.type);
        WriteHex(out, name + buf, v.data);
    }
}

void WriteNode(std::string& out, std::string& path, const RegNode& node, bool isRoot) {
    if (!isRoot || !node.values.empty()) {
        out += "[" + path + "]\n";
        for (const auto& v : node.values) WriteValue(out, v);
        out += '\n';
    }
    for (const auto& child : node.children) {
        const std::size_t len = path.size();
        path += '\\';
        path += child->name;
        WriteNode(out, path, *child, false);
        path.resize(len);
    }
}

}  // namespace

bool NamesEqual(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Fold(static_cast<unsigned char>(a[i])) != Fold(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool ValidKeyName(std::string_view name) {
    if (name.empty() || name.size() > kMaxKeyName) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '\\' || IsControl(static_cast<unsigned char>(c));
    });
}

bool ValidValueName(std::string_view name) {
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return IsControl(static_cast<unsigned char>(c)); });
}

std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path) {
    std::vector<std::string> parts;
    if (path.empty()) return parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view part = path.substr(start, end - start);
        if (!ValidKeyName(part)) return std::nullopt;
        parts.emplace_back(part);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

const char* RootName(Root root) {
    return root == Root::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

RegNode* RegNode::Child(std::string_view childName) const {
    for (const auto& c : children) {
        if (NamesEqual(c->name, childName)) return c.get();
    }
    return nullptr;
}

RegNode* RegNode::Find(const std::vector<std::string>& path) const {
    const RegNode* node = this;
    for (const auto& part : path) {
        node = node->Child(part);
        if (!node) return nullptr;
    }
    return const_cast<RegNode*>(node);
}

RegNode* RegNode::Ensure(const std::vector<std::string>& path, bool* created) {
    RegNode* node = this;
    for (const auto& part : path) {
        RegNode* next = node->Child(part);
        if (!next) {
            auto fresh = std::make_unique<RegNode>();
            fresh->name = part;
            next = fresh.get();
            node->children.push_back(std::move(fresh));
            if (created) *created = true;
        }
        node = next;
    }
    return node;
}

RegValue* RegNode::Value(std::string_view valueName) {
    for (auto& v : values) {
        if (NamesEqual(v.name, valueName)) return &v;
    }
    return nullptr;
}

bool RegNode::RemoveValue(std::string_view valueName) {
    auto it = std::find_if(values.begin(), values.end(),
                           [&](const RegValue& v) { return NamesEqual(v.name, valueName); });
    if (it == values.end()) return false;
    values.erase(it);
    return true;
}

bool RegNode::RemoveChild(std::string_view childName) {
    auto it = std::find_if(children.begin(), children.end(),
                           [&](const auto& c) { return NamesEqual(c->name, childName); });
    if (it == children.end()) return false;
    children.erase(it);
    return true;
}

bool ParseRegText(std::string_view text, bool allowEmpty, RegDocument& out, std::string* error) {
    out = RegDocument{};
    Parser parser(allowEmpty, out, error);
    if (parser.Run(text)) return true;
    out = RegDocument{};
    return false;
}

void ApplySections(const RegDocument& doc, Root root, RegNode& tree) {
    for (const auto& section : doc.sections) {
        if (section.root != root) continue;
        if (section.removeKey) {
            std::vector<std::string> parent(section.path.begin(), section.path.end() - 1);
            if (RegNode* p = tree.Find(parent)) p->RemoveChild(section.path.back());
            continue;
        }
        RegNode* node = tree.Ensure(section.path);
        for (const auto& v : section.values) {
            if (v.remove) {
                node->RemoveValue(v.name);
            } else if (RegValue* existing = node->Value(v.name)) {
                existing->type = v.type;
                existing->data = v.data;
            } else {
                node->values.push_back(RegValue{v.name, v.type, v.data});
            }
        }
    }
}

std::string WriteRegText(Root root, const std::vector<std::string>& path, const RegNode& node) {
    std::string out = "REGEDIT4\n\n";
    std::string full = RootName(root);
    for (const auto& part : path) full += "\\" + part;
    WriteNode(out, full, node, path.empty());
    return out;
}

}  // namespace vq::reg
