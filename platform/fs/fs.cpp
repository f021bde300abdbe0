#include "platform/fs/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/codepage/codepage.h"

namespace vq::fs {
namespace {

bool HasZero(std::string_view s) {
    return s.find('\0') != std::string_view::npos;
}

}  // namespace

// The OS side is always UTF-8: what Linux desktops and Qt use for file names, whatever the locale.
std::optional<std::string> ToOsName(std::string_view text) {
    if (HasZero(text)) return std::nullopt;
    return cp::ToUtf8Exact(text, cp::AnsiCodePage());
}

std::optional<std::string> FromOsName(std::string_view osName) {
    if (HasZero(osName)) return std::nullopt;
    return cp::FromUtf8Exact(osName, cp::AnsiCodePage());
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), error_(other.error_) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        error_ = other.error_;
    }
    return *this;
}

InputFile InputFile::Open(std::string_view path) {
    const auto name = ToOsName(path);
    if (!name) {
        InputFile f;
        f.error_ = ENOENT;
        return f;
    }
    return OpenOsName(*name);
}

InputFile InputFile::OpenOsName(const std::string& osName) {
    InputFile f;
    if (osName.empty() || HasZero(osName)) {
        f.error_ = ENOENT;
        return f;
    }
    f.fd_ = ::open(osName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (f.fd_ < 0) f.error_ = errno;
    return f;
}

std::optional<std::uint64_t> InputFile::RegularSize() const {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t InputFile::Read(void* data, std::size_t size) {
    if (fd_ < 0) return 0;
    auto* out = static_cast<unsigned char*>(data);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t r = ::read(fd_, out + got, size - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}

}  // namespace vq::fs
