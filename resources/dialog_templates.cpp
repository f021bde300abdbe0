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

// Key generation: only the device locations are offered; the bank-repository and local-storage
// radios, the password rows, the minimum-length note and the expiry and usage-count controls are
// hidden when the dialog opens, and the dialog shortens to end below the key name row.
constexpr ControlTemplate kGenKey[] = {
    {235, K::kGroupBox,       7,   7, 206,  36, 0, "Location"},
    {212, K::kRadioButton,   14,  20,  80,  10, 0, "Bank"},
    {213, K::kRadioButton,  110,  20,  80,  10, 0, "Local"},
    {217, K::kRadioButton,    9,  20,  80,  10, 0, "SmartCard"},
    {537, K::kRadioButton,  110,  32,  80,  10, 0, "USB"},
    {227, K::kStatic,        7,  50, 206,   8, 0, "Name"},
    {210, K::kEdit,          7,  60, 206,  14, 0, ""},
    {216, K::kCustom,        7,  80, 206,   9, style::kHidden, ""},
    {228, K::kStatic,        7,  96, 100,   8, 0, "Password"},
    {218, K::kEdit,          7, 106, 180,  14, style::kPassword, ""},
    {224, K::kButton,      192, 105,  21,  16, 0, ""},
    {229, K::kStatic,        7, 124, 100,   8, 0, "Confirm"},
    {219, K::kEdit,          7, 134, 180,  14, style::kPassword, ""},
    {225, K::kButton,      192, 133,  21,  16, 0, ""},
    {230, K::kStatic,        7, 152, 206,   8, 0, "Minimum"},
    {220, K::kCheckBox,      7, 166, 100,  10, 0, "Expiry"},
    {221, K::kEdit,        110, 164,  60,  14, 0, ""},
    {222, K::kCheckBox,      7, 182, 100,  10, 0, "Uses"},
    {223, K::kEdit,        110, 180,  60,  14, 0, ""},
    {1,   K::kDefaultButton, 50, 202,  50,  14, 0, "Generate"},
    {2,   K::kButton,       120, 202,  50,  14, 0, "Cancel"},
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

// Device choice: the refresh button is created at run time (id 692) on the buttons' line.
constexpr ControlTemplate kSelectReader[] = {
    {253, K::kStatic,          9,   9, 248, 30, style::kWordWrap, "Information"},
    {203, K::kListView,        9,  46, 248, 58, 0, ""},
    {2,   K::kButton,        109, 112,  50, 14, 0, "Cancel"},
    {1,   K::kDefaultButton, 175, 112,  50, 14, 0, "OK"},
};

constexpr ControlTemplate kPin[] = {
    {226, K::kStatic,         7,   7, 104,  10, 0, "PIN"},
    {202, K::kEdit,           7,  18, 103,  14, style::kPassword, ""},
    {227, K::kStatic,         7,  39, 104,  10, 0, "New PIN"},
    {203, K::kEdit,           7,  50, 103,  14, style::kPassword, ""},
    {228, K::kStatic,         7,  74, 104,  10, 0, "Repeat new PIN"},
    {204, K::kEdit,           8,  87, 102,  14, style::kPassword, ""},
    {1,   K::kDefaultButton,  7, 114,  50,  14, 0, "OK"},
    {2,   K::kButton,        61, 114,  50,  14, 0, "Cancel"},
};

constexpr ControlTemplate kPinPuk[] = {
    {247, K::kStatic,          7,   7, 244, 152, style::kWordWrap, "Information"},
    {262, K::kGroupBox,        7, 165, 116,  84, 0, "PIN"},
    {228, K::kStatic,         14, 179, 102,  10, 0, "New PIN"},
    {204, K::kEdit,           14, 192, 102,  14, style::kPassword, ""},
    {229, K::kStatic,         14, 215, 102,  10, 0, "Repeat new PIN"},
    {205, K::kEdit,           14, 228, 102,  14, style::kPassword, ""},
    {261, K::kGroupBox,      135, 165, 116,  84, 0, "PUK"},
    {226, K::kStatic,        142, 179, 102,  10, 0, "New PUK"},
    {202, K::kEdit,          142, 192, 102,  14, style::kPassword, ""},
    {227, K::kStatic,        142, 215, 102,  10, 0, "Repeat new PUK"},
    {203, K::kEdit,          142, 228, 102,  14, style::kPassword, ""},
    {1,   K::kDefaultButton,  72, 256,  50,  14, 0, "OK"},
    {2,   K::kButton,        135, 256,  50,  14, 0, "Cancel"},
};

constexpr ControlTemplate kRemove[] = {
    {203, K::kListView,        7,   7, 322, 117, style::kMultiSelect, ""},
    {1,   K::kDefaultButton, 108, 129,  50,  14, 0, "Remove"},
    {2,   K::kButton,        176, 129,  50,  14, 0, "Close"},
};

constexpr DialogTemplate kTemplates[] = {
    {kPasswordDialogId, 200, 63, "Tahoma", 8, "Password", kPassword},
    {kKeyboardDialogId, 255, 133, "Tahoma", 8, "Keyboard", kKeyboard},
    {kGenKeyDialogId, 220, 223, "Tahoma", 8, "Key generation", kGenKey},
    {203, 310, 201, "Tahoma", 8, "Select certificate", kChoseKey},
    {kSignDialogId, 330, 246, "Tahoma", 8, "Sign order", kSign},
    {kPinDialogId, 118, 135, "Tahoma", 8, "", kPin},
    {kPinPukDialogId, 258, 277, "Tahoma", 8, "Initialization", kPinPuk},
    {kSelectReaderDialogId, 266, 133, "Tahoma", 8, "Select reader", kSelectReader},
    {kRemoveDialogId, 336, 150, "Tahoma", 8, "Select keys to remove", kRemove},
};
// clang-format on

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& t : kTemplates)
        if (t.id == id) return &t;
    return nullptr;
}

}  // namespace vq
