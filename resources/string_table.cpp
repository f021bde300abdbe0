#include "resources/string_table.h"

namespace vq {
namespace {

// clang-format off
constexpr StringResource kTable[] = {
    {1, "Veriquill Control"},
    {2, "Veriquill Property Page"},
};
// clang-format on

}  // namespace

std::span<const StringResource> StringTable() { return kTable; }

}  // namespace vq
