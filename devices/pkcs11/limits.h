// The fixed bounds of the device layer's work on a token.
#pragma once

#include <cstddef>

namespace vq {

// The page reads a key list into a buffer of 1023 characters: the device's key list text and
// the identifier lists mapped from it stop at a whole entry within it.
inline constexpr std::size_t kMaxKeyListText = 1023;

}  // namespace vq
