// Device key lists as the page sees them: the identifiers of the key set entries whose keys are
// on a device (code 91, initialisation) or were just removed from it.
#pragma once

#include <string>

#include "devices/pkcs11/limits.h"

namespace vq {

class CKeysStorage;

// The device key list of ListKeys ("prefix|\"fp1\"-\"fp2\"") to the identifiers of the entries
// whose key data equals a listed fingerprint, fingerprint by fingerprint in list order and
// within one fingerprint in key set order, joined by "|", within kMaxKeyListText.
std::string MapDeviceKeyList(const CKeysStorage& keys, const std::string& deviceKeyList);

// The removed-keys text of RemoveDeviceKeys ("|fp1|fp2") to the identifiers of the smart-card,
// USB-token and any-device entries whose key data equals a removed fingerprint in its first 20
// characters, joined by "|", within kMaxKeyListText.
std::string MapRemovedKeys(const CKeysStorage& keys, const std::string& removed);

}  // namespace vq
