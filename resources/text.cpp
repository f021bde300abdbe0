#include "resources/text.h"

#include <algorithm>
#include <atomic>
#include <limits>
#include <string>
#include <unordered_map>

#include "platform/codepage/codepage.h"
#include "resources/string_table.h"

namespace vq {
namespace {

std::atomic<int> gLanguage{kLanguagePolish};

// The table converted once to the component's 8-bit code page.
const std::unordered_map<int, std::string>& Resources() {
    static const std::unordered_map<int, std::string> table = [] {
        std::unordered_map<int, std::string> t;
        for (const StringResource& r : StringTable())
            t.emplace(r.id, cp::FromUtf8(r.utf8, "CP1250").value_or(std::string()));
        return t;
    }();
    return table;
}

constexpr int kCaptionId = 228;

}  // namespace

void SetLanguageIndex(int language) {
    if (language >= kLanguagePolish && language <= kLanguageGerman) gLanguage = language;
}

int LanguageIndex() { return gLanguage; }

std::string LoadResource(int resourceId) {
    const auto& t = Resources();
    const auto it = t.find(resourceId);
    return it == t.end() ? std::string() : it->second;
}

std::string LoadText(int id) {
    // Message boxes use 228 as caption; it always reads empty.
    if (id == kCaptionId) return {};
    // No text lies that high; the offset would overflow.
    if (id > std::numeric_limits<int>::max() - kLanguageGerman) return {};
    return LoadResource(id + gLanguage);
}

}  // namespace vq
