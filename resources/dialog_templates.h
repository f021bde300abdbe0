// Dialog templates: the controls of each dialog with their ids, kinds and rectangles in dialog
// units, and the dialog font. Plain data, so that this folder needs no user-interface library.
#pragma once

#include <span>

namespace vq {

enum class ControlKind {
    kStatic,         // a text label
    kEdit,           // a one-line edit
    kButton,         // a push button
    kDefaultButton,  // the push button Enter presses
    kCheckBox,
    kRadioButton,
    kGroupBox,
    kListBox,
    kListView,  // a list with columns
    kComboBox,
    kCustom,  // drawn by the dialog itself
};

// Styles that matter to the controls built here.
namespace style {
inline constexpr unsigned kPassword = 0x1;
inline constexpr unsigned kReadOnly = 0x2;
inline constexpr unsigned kDisabled = 0x4;
inline constexpr unsigned kHidden = 0x8;
inline constexpr unsigned kMultiSelect = 0x10;
inline constexpr unsigned kWordWrap = 0x20;
}  // namespace style

struct ControlTemplate {
    int id;
    ControlKind kind;
    int x, y, cx, cy;  // dialog units
    unsigned styles;
    const char* text;  // placeholder; dialogs replace it with looked-up texts
};

struct DialogTemplate {
    int id;
    int cx, cy;  // client size in dialog units
    const char* fontName;
    int fontPoints;
    const char* caption;
    std::span<const ControlTemplate> controls;
};

// The template of dialog resource `id`, or nullptr.
const DialogTemplate* FindDialogTemplate(int id);

inline constexpr int kPasswordDialogId = 201;
inline constexpr int kKeyboardDialogId = 202;
inline constexpr int kSignDialogId = 210;
inline constexpr int kGenKeyDialogId = 211;
inline constexpr int kPinDialogId = 417;
inline constexpr int kPinPukDialogId = 418;
inline constexpr int kSelectReaderDialogId = 421;
inline constexpr int kRemoveDialogId = 423;

}  // namespace vq
