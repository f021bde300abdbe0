// What each program code means to the user and to the flows that meet it: one row per code.
// The signing flow's error display, the signing dialog's Sign button, the signing attempt's loop,
// the key generation dialog and the device flows read their decisions here, so that the meaning
// of a code is written once.
#pragma once

#include <span>

#include "platform/ui/ui.h"

namespace vq {

// What the signing dialog's Sign button does when a signing attempt ends with the code.
enum class SignDialogAction : unsigned char {
    kClose,  // the dialog closes with OK and the flow reports the code
    kStay,   // the dialog stays open for another try (the operations reported the error)
    kRetry,  // another attempt runs at once (the remembered key file was the wrong one)
};

struct CodeMeaning {
    int code = 0;
    // Text the signing flow's error display shows for the code (0: nothing), with `icon`.
    int text = 0;
    ui::Icon icon = ui::Icon::kError;
    SignDialogAction signDialog = SignDialogAction::kClose;
    // Text the signing dialog shows itself before it stays open (0: nothing), with `icon`.
    int signDialogText = 0;
    // Within one signing attempt the sign step runs again while it lets the attempt continue.
    bool repeatsStep = false;
    // Ends the sign step's loop having used up the typed password: the field is emptied.
    bool usesUpPassword = false;
    // The key's remembered file location is forgotten (the file was the wrong one).
    bool forgetsLocation = false;
    // Counts as a wrong password: the key's counter rises and the page is told.
    bool wrongPassword = false;
    // The key generation dialog stays open for another try, on any device.
    bool generationStays = false;
    // Key generation on a smart card: text shown, after which the dialog stays open (0: none).
    int cardGenerationText = 0;
    // A device flow's PIN prompt is shown again (key removal), after `pinPromptText` if any.
    bool pinPromptAgain = false;
    int pinPromptText = 0;
};

// The row of `code`; a code without a row of its own (a device library error passed through as
// 32768 plus its value, or any other) gets the defaults: nothing shown, the dialogs close.
CodeMeaning MeaningOf(int code);

// Every row, in ascending order of code.
std::span<const CodeMeaning> CodeTable();

}  // namespace vq
