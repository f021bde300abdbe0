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

// The certificate choice: the list fills the group box; its columns are sized when it is filled.
constexpr ControlTemplate kChoseKey[] = {
    {235, K::kGroupBox,      7,   7, 296, 166, 0, "Certificates"},
    {227, K::kStatic,       15,  21, 200,   8, 0, "List"},
    {203, K::kListView,     15,  32, 280, 110, 0, ""},
    {237, K::kStatic,       15, 153,  45,   8, 0, "Name:"},
    {202, K::kEdit,         62, 151, 110,  14, 0, ""},
    {1,   K::kDefaultButton, 199, 180, 50,  14, 0, "OK"},
    {2,   K::kButton,       253, 180,  50,  14, 0, "Cancel"},
};

constexpr DialogTemplate kTemplates[] = {
    {kPasswordDialogId, 200, 63, "Tahoma", 8, "Password", kPassword},
    {kKeyboardDialogId, 255, 133, "Tahoma", 8, "Keyboard", kKeyboard},
    {203, 310, 201, "Tahoma", 8, "Select certificate", kChoseKey},
};
// clang-format on

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& t : kTemplates)
        if (t.id == id) return &t;
    return nullptr;
}

}  // namespace vq
