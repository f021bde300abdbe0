// What the operations call to ask the user for a secret, without knowing Qt.
#pragma once

#include <cstddef>
#include <string_view>

#include "storage/secure.h"

namespace vq {

// Size of the callers' secret buffers, terminating zero included: a secret holds at most
// kSecretBufferSize - 1 bytes. The dialogs refuse longer input as it is typed.
inline constexpr std::size_t kSecretBufferSize = 1024;

// Password-entry callback: key-password prompt for `subject` (PIN prompt when the location type is
// 2, smart card, or 11, USB token). Whatever the result, `password` receives the typed text
// (possibly empty). Returns the dialog result: 1 OK, 2 Cancel.
int PasswordEntry(int locationType, std::string_view subject, SecureString& password);
using PasswordEntryFn = int (*)(int locationType, std::string_view subject, SecureString& password);

// PIN-entry callback: runs the PIN dialog in `mode` and, on OK, fills both values; returns the
// dialog result. Implemented next to the PIN dialog.
using PinEntryFn = int (*)(int mode, SecureString& first, SecureString& second);

// The password prompt in one of its modes (-1 key password, 1 PIN, 3 log-in); 1 OK, 2 Cancel.
int PromptPassword(int mode, std::string_view subject, SecureString& password);

// The on-screen keyboard: 0 and the typed text (code page bytes) on OK, 8 otherwise.
int ShowKeyboard(SecureString& text);

}  // namespace vq
