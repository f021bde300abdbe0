// The module's string table: resource identifier -> text (UTF-8 in the source, served as
// Windows-1250). From 200 on texts come in triples: base (Polish), base + 1 (English),
// base + 2 (German).
#pragma once

#include <span>

namespace vq {

struct StringResource {
    int id;
    const char* utf8;
};

// Sorted by identifier.
std::span<const StringResource> StringTable();

}  // namespace vq
