// Key files on the user's disk: reading them, and finding the file of a key (remembered
// location first, then the user). The component never writes key files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/fs/fs.h"
#include "platform/ui/ui.h"
#include "storage/secure.h"

namespace vq {

// Largest key file read into memory; key files are a few kilobytes.
inline constexpr std::size_t kMaxKeyFileSize = 1024 * 1024;

// Reads the whole file as hex text of its bytes. `path` is component text (code page bytes). 0; 1
// for a missing or empty path; 18 when the file cannot be opened for reading (also when the path
// has no form on this system, see fs::ToOsName); 19 when fewer bytes are read than its size says;
// 2 when it is larger than kMaxKeyFileSize.
int ReadKeyFile(const char* path, SecureString& hex);
// The same for a file already opened (18 when it is not open).
int ReadKeyFile(fs::InputFile& file, SecureString& hex);

// Extension of the key file of a key kind ("prv", "der", "pgp"), or null for other kinds.
const char* KeyFileExtension(int kind);

// The file-type filter of key file dialogs: "%s (*.%s)|*.%s|%s (*.*)|*.*||" with texts 339 and 342.
std::string KeyFileFilter(std::string_view extension);

// Text 553 followed by the kind's file name hint.
std::string KeyFileMissingText(int kind, std::string_view keyName);

// The file dialog of the key file flows: ui::kIdOk with the chosen path (component text),
// ui::kIdCancel, or ui::kIdAbort when the chosen file's path cannot be held in the code page;
// the user is then told in an error box why that file cannot be used.
int ChooseFile(const ui::FileRequest& request, std::string& path);

// What locating a key file needs from the user: a warning and a file-open dialog.
class KeyFileUser {
  public:
    virtual ~KeyFileUser() = default;
    // Warning message box with an empty caption.
    virtual void ShowWarning(const std::string& text) = 0;
    // File-open dialog; false when cancelled or the chosen file cannot be used, otherwise the
    // chosen full path.
    virtual bool AskForFile(const std::string& defaultExtension, const std::string& defaultName,
                            const std::string& filter, std::string& path) = 0;
};

struct LocateResult {
    int code = 0;
    SecureString material;               // hex text of the file's bytes
    std::optional<std::string> newPath;  // chosen in the dialog: the caller stores it at Finish
};

// Reads the key file from `storedLocation` (the remembered path; its bytes up to the first zero)
// and, when there is none or it cannot be read, warns and asks the user for the file. A path
// chosen in the dialog is returned as `newPath` even when reading it fails. Cancel gives 8, and so
// does a chosen file the component cannot use (its path outside the code page): the user has been
// told why, nothing is kept, and the order dialog stays open for another choice.
LocateResult LocateAndReadKeyFile(std::string_view storedLocation, int kind,
                                  std::string_view keyName, KeyFileUser& user);

}  // namespace vq
