// The .reg text format: parsing into a list of sections, a key tree they apply to, and writing a
// tree back as REGEDIT4 text. No file access here; registry.cpp owns the files.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace vq::reg {

// One `"name"=data` line (or `"name"=-`, which removes the value). The empty name is "@".
struct ValueLine {
    std::string name;
    bool remove = false;
    std::uint32_t type = kRegNone;
    std::string data;  // raw bytes as the API hands them out
};

// One `[ROOT\path]` section (or `[-ROOT\path]`, which removes the key and its sub-keys).
struct Section {
    Root root = Root::LocalMachine;
    std::vector<std::string> path;  // components below the root; empty = the root itself
    bool removeKey = false;
    std::vector<ValueLine> values;
};

struct RegDocument {
    bool unicodeHeader = false;  // "Windows Registry Editor Version 5.00"
    std::vector<Section> sections;
};

// Parses .reg text. REGEDIT4 text is taken byte for byte (the component's 8-bit code page).
// Version 5.00 text is read as UTF-8 (or UTF-16LE with its byte order mark) and its strings,
// hex(1), hex(2) and hex(7) data are converted to the component's code page. An empty text is
// accepted only when `allowEmpty` (a root file that exists but holds nothing). On failure returns
// false and, when `error` is given, a short description with the line number.
bool ParseRegText(std::string_view text, bool allowEmpty, RegDocument& out,
                  std::string* error = nullptr);

struct RegValue {
    std::string name;
    std::uint32_t type = kRegNone;
    std::string data;
};

struct RegNode {
    std::string name;  // as first written; lookups ignore case
    std::vector<RegValue> values;
    std::vector<std::unique_ptr<RegNode>> children;

    RegNode* Child(std::string_view childName) const;
    RegNode* Find(const std::vector<std::string>& path) const;
    // Creates the missing components; `created` tells whether anything was added.
    RegNode* Ensure(const std::vector<std::string>& path, bool* created = nullptr);
    RegValue* Value(std::string_view valueName);
    bool RemoveValue(std::string_view valueName);
    bool RemoveChild(std::string_view childName);
};

// Case-insensitive comparison of names as Windows does it for the component's code page
// (ASCII letters and the Windows-1250 letter pairs).
bool NamesEqual(std::string_view a, std::string_view b);

// A key name may hold any byte but the backslash and control characters, at most 255 bytes.
bool ValidKeyName(std::string_view name);
// A value name may hold any byte but control characters (the file keeps it on one line).
bool ValidValueName(std::string_view name);
// Splits "A\B\C" into its components; nothing for empty components or invalid names.
std::optional<std::vector<std::string>> SplitKeyPath(std::string_view path);

const char* RootName(Root root);

// Applies the sections of `root` to `tree`.
void ApplySections(const RegDocument& doc, Root root, RegNode& tree);

// REGEDIT4 text of `node` (found at `path` under `root`) and everything below it. Printable ASCII
// strings with one terminating zero are written as "text"; any other string as hex(1): so that
// every byte comes back unchanged.
std::string WriteRegText(Root root, const std::vector<std::string>& path, const RegNode& node);

}  // namespace vq::reg
