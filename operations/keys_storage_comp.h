// The key-operations component: the key store plus the flows behind the page's methods.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "storage/key_storage.h"

namespace vq {

// Outputs of an operation; which fields are set depends on the method and the code.
struct OpResult {
    int code = 0;
    // Payload fields in the order the method prints them (keyId, signatureHex; pathHex; ...).
    std::vector<std::string> fields;
    // Identifiers joined by "|": the device's keys (code 91, device management flows).
    std::optional<std::string> keyList;
    int kind = 0;  // GenerateKey: 2 or 11
};

class CKeysStorageComp : public CKeysStorage {
  public:
    CKeysStorageComp() = default;
    ~CKeysStorageComp() override;

    // Signing dialog variant from SetSignDialogType: 1 -> 0, 2 -> 1, anything else -> 2.
    void SetDialogType(int type) { dialogVariant_ = type == 1 ? 0 : type == 2 ? 1 : 2; }
    int dialogVariant() const { return dialogVariant_; }

  private:
    int dialogVariant_ = 0;
};

}  // namespace vq
