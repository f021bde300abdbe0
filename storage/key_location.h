// Choosing a key file's location with the file dialog.
#pragma once

#include <functional>
#include <string>

#include "storage/codes.h"
#include "storage/key_storage.h"

namespace vq {

// Shows the file-open dialog (no filter, no default extension or name, no validation), hands the
// chosen full path (code page bytes) to `store` (0 on success) and gives it back as hex text
// without a terminating zero. 0, 1 (store failed, or the path cannot be held in the code page:
// the user is told why and nothing is stored) or 8 (cancelled).
int ChangeKeyLocation(const std::function<int(const std::string& path)>& store,
                      std::string& pathHex);

// The same, stored under the key identifier in the key location configuration.
inline int ChangeKeyLocation(CKeysStorage& keys, const char* id, std::string& pathHex) {
    if (!id) return code::kInvalidArgument;
    return ChangeKeyLocation(
        [&](const std::string& path) { return keys.StoreLocation(id, path.c_str()); }, pathHex);
}

}  // namespace vq
