#include "storage/key_storage.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <new>
#include <span>
#include <utility>

#include "resources/text.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

// Key data of a bank or device-material entry is key material; never leave it in freed memory.
void Wipe(std::string& s) {
    if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
    s.clear();
}

// Base text identifier of a kind's display word, or 0 for a kind shown as its number.
int DisplayWordId(unsigned char k) {
    switch (k) {
        case kind::kBank:
            return 324;    // "Bank`s repository"
        case kind::kFile:  // "File"
        case kind::kPkcs8File:
            return 699;
        case kind::kSmartCard:
            return 674;  // "SmartCard"
        case kind::kUsbToken:
            return 676;  // "USB Device"
        default:
            return 0;
    }
}

// The accepted card models a new key store starts with; every name is followed by "|".
constexpr const char* kInitialCardModels = "GemSAFE GPK16000|SDK GPK16000    |GPK 16K Standard|";

// Location values are read with a buffer of MAX_PATH bytes.
constexpr std::uint32_t kLocationBufferSize = 260;

}  // namespace

CKeyStorage::~CKeyStorage() {
    Wipe(data);
}

int CKeyStorage::Fill(std::string_view newId, std::string_view newName, std::string_view newData,
                      int newKind) {
    if (newId.empty() || newName.empty() || newData.empty()) return code::kInvalidArgument;
    try {
        // Copy everything first so that running out of memory leaves the entry as it was.
        std::string i(newId), n(newName), d(newData);
        id.swap(i);
        name.swap(n);
        data.swap(d);
        Wipe(d);
    } catch (const std::bad_alloc&) {
        return code::kOutOfMemory;
    }
    kind = static_cast<unsigned char>(newKind & 0xFF);
    return code::kOk;
}

bool CKeyStorage::Blocked() const {
    return wrongPasswordCount >= 3 && kind != kind::kSmartCard;
}

std::string CKeyStorage::DisplayText() const {
    const int wordId = DisplayWordId(kind);
    const std::string word = wordId != 0 ? LoadText(wordId) : std::to_string(kind);
    return name + " (" + word + ")";
}

CKeysStorage::CKeysStorage()
    : cardModels_(kInitialCardModels), locations_(reg::Root::CurrentUser, kKeyLocationsKey) {}

CKeysStorage::~CKeysStorage() {
    RemoveAll();
}

int CKeysStorage::SetKey(const char* id, const char* nameHex, const char* data, int kind) {
    if (id == nullptr || nameHex == nullptr || data == nullptr) return code::kInvalidArgument;
    try {
        std::string isoName;
        if (HexDecode(nameHex, isoName) != code::kOk) return code::kInvalidArgument;
        // The name is a text like every other inside the component: it ends at its first zero
        // byte, so "00" is an empty name and bytes after a zero are not part of it.
        if (const std::size_t zero = isoName.find('\0'); zero != std::string::npos)
            isoName.resize(zero);
        const std::string name = IsoToWin1250(isoName);

        if (CKeyStorage* existing = Find(id)) return existing->Fill(id, name, data, kind);

        auto entry = std::make_unique<CKeyStorage>();
        const int rc = entry->Fill(id, name, data, kind);
        if (rc != code::kOk) return rc;
        keys_.push_back(std::move(entry));
        return code::kOk;
    } catch (const std::bad_alloc&) {
        return code::kOutOfMemory;
    }
}

int CKeysStorage::RemoveKey(const char* id) {
    if (id == nullptr) return code::kInvalidArgument;
    const auto it =
        std::find_if(keys_.begin(), keys_.end(),
                     [id = std::string_view(id)](const auto& k) { return k->id == id; });
    if (it == keys_.end()) return code::kInvalidArgument;
    keys_.erase(it);
    return code::kOk;
}

void CKeysStorage::RemoveAll() {
    keys_.clear();
}

CKeyStorage* CKeysStorage::Find(std::string_view id) {
    for (const auto& k : keys_)
        if (k->id == id) return k.get();
    return nullptr;
}

int CKeysStorage::AddCardModel(const char* model) {
    if (model == nullptr) return code::kInvalidArgument;
    try {
        cardModels_.append(model).push_back('|');
    } catch (const std::bad_alloc&) {
        return code::kOutOfMemory;
    }
    CardModelsChanged();
    return code::kOk;
}

int CKeysStorage::GetKeyLocation(const char* id, std::string& pathHex) {
    // An empty identifier would read the key's default value, which is no key's location.
    if (id == nullptr || *id == '\0') return code::kNoLocation;
    unsigned char buffer[kLocationBufferSize];
    std::uint32_t size = sizeof buffer;
    if (locations_.GetParam(id, buffer, &size) != 1 || size > sizeof buffer)
        return code::kNoLocation;
    // The bytes as stored, terminating zero included.
    pathHex = HexEncode(std::span<const unsigned char>(buffer, size));
    return code::kOk;
}

int CKeysStorage::SetKeyLocation(const char* id, const char* pathHex) {
    if (id == nullptr || *id == '\0' || pathHex == nullptr) return code::kInvalidArgument;
    std::string path;
    if (HexDecode(pathHex, path) != code::kOk) return code::kInvalidArgument;
    // A text read back with GetKeyLocation ends in its zero byte; accept it again. A zero byte
    // inside the path would silently cut it short, so such a path is refused.
    while (!path.empty() && path.back() == '\0') path.pop_back();
    if (path.find('\0') != std::string::npos) return code::kInvalidArgument;
    return StoreLocation(id, path.c_str());
}

int CKeysStorage::StoreLocation(const char* id, const char* path) {
    return locations_.SetParam(id, path) == 1 ? code::kOk : code::kInvalidArgument;
}

}  // namespace vq
