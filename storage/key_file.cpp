#include "storage/key_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "storage/key_storage.h"

namespace vq {
namespace {

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

}  // namespace

int ReadKeyFile(const char* path, SecureString& hex) {
    hex.wipe();
    if (!path || !*path) return code::kInvalidArgument;
    // Non-blocking open so that a named pipe cannot hang the caller; only regular files count.
    Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return code::kKeyFileOpen;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return code::kKeyFileOpen;
    if (st.st_size < 0) return code::kKeyFileShort;
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size > kMaxKeyFileSize) return code::kOutOfMemory;

    SecureBytes bytes(size);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t r = ::read(fd.get(), bytes.data() + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    if (got < size) return code::kKeyFileShort;
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
