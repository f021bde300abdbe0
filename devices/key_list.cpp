#include "devices/key_list.h"

#include <string_view>

#include "storage/key_storage.h"

namespace vq {
namespace {

// Removed fingerprints are compared with the key data on this many characters.
constexpr std::size_t kRemovedCompare = 20;

bool IsDeviceKeyKind(int k) {
    return k == kind::kSmartCard || k == kind::kAnyDevice || k == kind::kUsbToken;
}

// Calls `piece` for each part of `text` between separators, empty parts included, until it
// answers false; false then.
template <class Piece>
bool ForEachPiece(std::string_view text, char separator, Piece&& piece) {
    while (true) {
        const std::size_t end = text.find(separator);
        if (!piece(text.substr(0, end))) return false;
        if (end == std::string_view::npos) return true;
        text.remove_prefix(end + 1);
    }
}

// Appends the identifiers of the entries `matches` accepts, in key set order, "|"-joined; false
// when the next one would not fit the page's buffer (the list then ends at a whole identifier).
template <class Match>
bool AppendIdentifiers(const CKeysStorage& keys, Match&& matches, std::string& out) {
    for (std::size_t i = 0; i < keys.Count(); ++i) {
        const CKeyStorage* key = keys.At(i);
        if (!matches(*key)) continue;
        const std::size_t needed = key->id.size() + (out.empty() ? 0 : 1);
        if (out.size() + needed > kMaxKeyListText) return false;
        if (!out.empty()) out += '|';
        out += key->id;
    }
    return true;
}

}  // namespace

std::string MapDeviceKeyList(const CKeysStorage& keys, const std::string& deviceKeyList) {
    std::string_view fingerprints(deviceKeyList);
    if (const std::size_t bar = fingerprints.rfind('|'); bar != std::string_view::npos)
        fingerprints.remove_prefix(bar + 1);
    std::string out;
    ForEachPiece(fingerprints, '-', [&](std::string_view quoted) {
        if (quoted.size() < 2) return true;
        const std::string_view print = quoted.substr(1, quoted.size() - 2);
        return AppendIdentifiers(
            keys, [&](const CKeyStorage& key) { return key.data == print; }, out);
    });
    return out;
}

std::string MapRemovedKeys(const CKeysStorage& keys, const std::string& removed) {
    std::string out;
    ForEachPiece(removed, '|', [&](std::string_view print) {
        if (print.empty()) return true;
        return AppendIdentifiers(
            keys,
            [&](const CKeyStorage& key) {
                return IsDeviceKeyKind(key.kind) &&
                       std::string_view(key.data).substr(0, kRemovedCompare) ==
                           print.substr(0, kRemovedCompare);
            },
            out);
    });
    return out;
}

}  // namespace vq
