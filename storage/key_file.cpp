#include "storage/key_file.h"

#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "storage/key_storage.h"

namespace vq {

int ReadKeyFile(const char* path, SecureString& hex) {
    hex.wipe();
    if (!path || !*path) return code::kInvalidArgument;
    fs::InputFile file = fs::InputFile::Open(path);
    return ReadKeyFile(file, hex);
}

int ReadKeyFile(fs::InputFile& file, SecureString& hex) {
    hex.wipe();
    if (!file.isOpen()) return code::kKeyFileOpen;
    // Only regular files count: a directory, FIFO or device is no key file.
    const std::optional<std::uint64_t> length = file.RegularSize();
    if (!length) return code::kKeyFileOpen;
    if (*length > kMaxKeyFileSize) return code::kOutOfMemory;
    const auto size = static_cast<std::size_t>(*length);

    SecureBytes bytes(size);
    if (file.Read(bytes.data(), size) < size) return code::kKeyFileShort;
    if (size == 0) return code::kOk;  // empty key material; the engine refuses it

    static constexpr char kDigits[] = "0123456789ABCDEF";
    // Built digit by digit so that no unwiped copy of the text is left behind.
    SecureString text;
    for (unsigned char b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    hex = std::move(text);
    return code::kOk;
}

const char* KeyFileExtension(int kind) {
    switch (kind) {
        case kind::kFile:
            return "prv";
        case kind::kPkcs8File:
            return "der";
        case kind::kPgpFile:
            return "pgp";
        default:
            return nullptr;
    }
}

std::string KeyFileFilter(std::string_view ext) {
    const std::string keys = LoadText(kTextKeysFilter);
    const std::string all = LoadText(kTextAllFilter);
    std::string f;
    f.append(keys).append(" (*.").append(ext).append(")|*.").append(ext).append("|");
    f.append(all).append(" (*.*)|*.*||");
    return f;
}

std::string KeyFileMissingText(int kind, std::string_view keyName) {
    std::string text = LoadText(kTextKeyFileNotFound);
    if (kind == kind::kFile)
        text.append("(plik ").append(keyName).append(".prv)");
    else if (kind == kind::kPkcs8File)
        text.append("(plik private_key.der lub priv.der)");
    return text;
}

int ChooseFile(const ui::FileRequest& request, std::string& path) {
    std::string chosen;
    const int answer = ui::Current().OpenFile(request, chosen);
    if (answer == ui::kIdOk) path = std::move(chosen);
    // Only a path the code page cannot hold makes the dialog give up; say so rather than
    // failing later with a file that cannot be opened.
    if (answer == ui::kIdAbort) ui::Message(LoadText(kTextFileNameNotUsable));
    return answer;
}

LocateResult LocateAndReadKeyFile(std::string_view storedLocation, int kind,
                                  std::string_view keyName, KeyFileUser& user) {
    LocateResult r;
    const std::size_t zero = storedLocation.find('\0');
    if (zero != std::string_view::npos) storedLocation = storedLocation.substr(0, zero);
    if (!storedLocation.empty()) {
        const std::string path(storedLocation);
        if (ReadKeyFile(path.c_str(), r.material) == code::kOk) return r;
    }

    const char* ext = KeyFileExtension(kind);
    const std::string extension = ext ? ext : "";
    user.ShowWarning(KeyFileMissingText(kind, keyName));
    std::string chosen;
    if (!user.AskForFile(extension, std::string(keyName), KeyFileFilter(extension), chosen)) {
        r.code = code::kCancelled;
        return r;
    }
    r.code = ReadKeyFile(chosen.c_str(), r.material);
    r.newPath = std::move(chosen);
    return r;
}

}  // namespace vq
