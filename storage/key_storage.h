// The key set: the component's in-memory list of the user's keys, and the data kept beside it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/cfg_reg.h"
#include "storage/secure.h"

namespace vq {

// Key kinds: where the private key lives.
namespace kind {
inline constexpr unsigned char kBank = 0;
inline constexpr unsigned char kFile = 1;
inline constexpr unsigned char kSmartCard = 2;
inline constexpr unsigned char kCertStore = 3;
inline constexpr unsigned char kPgpFile = 5;
inline constexpr unsigned char kBank6 = 6;
inline constexpr unsigned char kPkcs8File = 8;
inline constexpr unsigned char kAnyDevice = 10;
inline constexpr unsigned char kUsbToken = 11;
inline constexpr unsigned char kDeviceMaterial = 13;
inline constexpr unsigned char kUnset = 255;
}  // namespace kind

// One entry of the key set.
class CKeyStorage {
  public:
    CKeyStorage() = default;
    // Wipes the key data: for some kinds it is key material.
    virtual ~CKeyStorage();
    CKeyStorage(const CKeyStorage&) = delete;
    CKeyStorage& operator=(const CKeyStorage&) = delete;

    // Replaces identifier, name, data and kind; keeps the wrong-password count and list position.
    // The kind is stored as its low 8 bits. 1 for an empty identifier, name or data, 2 when memory
    // runs out; the entry is unchanged in both cases.
    int Fill(std::string_view id, std::string_view name, std::string_view data, int kind);
    // Wrong-password count of 3 or more on any kind but the smart card.
    bool Blocked() const;
    // Name, " (", the kind's word in the current language or its number, ")".
    std::string DisplayText() const;

    std::string id;
    std::string name;  // Windows-1250
    std::string data;
    unsigned char kind = kind::kUnset;
    int listPosition = -1;
    int wrongPasswordCount = 0;
};

// The key store: the index plus the card model list and the key location configuration. Null
// `const char*` arguments stand for missing script arguments.
class CKeysStorage {
  public:
    CKeysStorage();
    virtual ~CKeysStorage();
    CKeysStorage(const CKeysStorage&) = delete;
    CKeysStorage& operator=(const CKeysStorage&) = delete;

    int SetKey(const char* id, const char* nameHex, const char* data, int kind);
    int RemoveKey(const char* id);
    void RemoveAll();

    std::size_t Count() const { return keys_.size(); }
    CKeyStorage* At(std::size_t i) { return i < keys_.size() ? keys_[i].get() : nullptr; }
    const CKeyStorage* At(std::size_t i) const {
        return i < keys_.size() ? keys_[i].get() : nullptr;
    }
    CKeyStorage* Find(std::string_view id);

    int AddCardModel(const char* model);
    const std::string& CardModels() const { return cardModels_; }

    // Read location: 0 and the hex text of the stored bytes (terminating zero included), or 509.
    int GetKeyLocation(const char* id, std::string& pathHex);
    // Set location: 0, or 1 for bad hex text or a failed write. Trailing zero bytes (as
    // GetKeyLocation returns them) are accepted, an inner one is refused. Both refuse an empty
    // identifier, which would name the key's default value.
    int SetKeyLocation(const char* id, const char* pathHex);
    // The store's own SetParam, sense inverted: 0 on success, 1 on failure.
    int StoreLocation(const char* id, const char* path);

    CCfgReg& Locations() { return locations_; }

  protected:
    // Called after every change of the card model list (the device object takes a copy).
    virtual void CardModelsChanged() {}

    std::vector<std::unique_ptr<CKeyStorage>> keys_;
    std::string cardModels_;
    CCfgReg locations_;
};

// The names the flows read best; the page-facing classes keep theirs.
using KeySet = CKeysStorage;
using KeyEntry = CKeyStorage;

}  // namespace vq
