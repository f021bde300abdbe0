#include "resources/dialog_templates.h"

namespace vq {
namespace {

using K = ControlKind;

// clang-format off
constexpr ControlTemplate kPassword[] = {
    {235, K::kStatic,        7,  7, 186, 8, style::kWordWrap, "Prompt"},
    {201, K::kEdit,          7, 20, 160, 14, style::kPassword, ""},
    {3,   K::kButton,      172, 19,  21, 16, 0, ""},
    {1,   K::kDefaultButton, 45, 42,  50, 14, 0, "OK"},
    {2,   K::kButton,       105, 42,  50, 14, 0, "Cancel"},
};

// The keyboard places its edit and sizes itself in pixels when it opens.
constexpr ControlTemplate kKeyboard[] = {
    {202, K::kEdit, 7, 7, 241, 16, style::kPassword | style::kReadOnly, ""},
};

constexpr DialogTemplate kTemplates[] = {
    {kPasswordDialogId, 200, 63, "Tahoma", 8, "Password", kPassword},
    {kKeyboardDialogId, 255, 133, "Tahoma", 8, "Keyboard", kKeyboard},
};
// clang-format on

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& t : kTemplates)
        if (t.id == id) return &t;
    return nullptr;
}

}  // namespace vq
