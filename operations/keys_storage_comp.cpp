#include "operations/keys_storage_comp.h"

namespace vq {

CKeysStorageComp::~CKeysStorageComp() {
    RemoveAll();
}

}  // namespace vq
