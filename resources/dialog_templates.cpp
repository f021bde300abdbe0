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

// The order signing dialog. Vertical positions are set by the dialog's own layout when it opens;
// the table (204) and the raw text view (207) are replaced by their own widgets.
constexpr ControlTemplate kSign[] = {
    {233, K::kStatic,          7,   9, 244,   2, 0, ""},
    {232, K::kButton,        255,   2,  68,  14, 0, "Collapse"},
    {225, K::kGroupBox,        7,  16, 316,  28, 0, "Order content:"},
    {205, K::kRadioButton,    17,  27,  90,  10, 0, "Formatted"},
    {206, K::kRadioButton,   117,  27, 110,  10, 0, "Being signed"},
    {204, K::kCustom,          7,  46, 316, 130, style::kHidden, ""},
    {207, K::kCustom,          7,  46, 316,  16, style::kHidden, ""},
    {234, K::kStatic,          7, 178, 316,   2, 0, ""},
    {254, K::kStatic,          7,   9, 316,  20, style::kWordWrap, "Note"},
    {226, K::kStatic,          7, 185, 100,  10, 0, "Select key to sign:"},
    {208, K::kComboBox,      110, 183, 213,  14, 0, ""},
    {227, K::kStatic,          7, 202, 100,  16, 0, "Password for the key:"},
    {213, K::kEdit,          110, 204, 189,  12, style::kPassword, ""},
    {3,   K::kButton,        303, 202,  20,  16, 0, ""},
    {228, K::kStatic,          7, 222,  22,  20, 0, ""},
    {1,   K::kDefaultButton, 213, 222,  50,  14, 0, "Sign"},
    {2,   K::kButton,        273, 222,  50,  14, 0, "Cancel"},
};

constexpr DialogTemplate kTemplates[] = {
    {kPasswordDialogId, 200, 63, "Tahoma", 8, "Password", kPassword},
    {kKeyboardDialogId, 255, 133, "Tahoma", 8, "Keyboard", kKeyboard},
    {kSignDialogId, 330, 246, "Tahoma", 8, "Sign order", kSign},
};
// clang-format on

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& t : kTemplates)
        if (t.id == id) return &t;
    return nullptr;
}

}  // namespace vq
