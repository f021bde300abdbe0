// Where the component's text meets the file system. Inside the component a path is text in the
// ANSI code page (Windows-1250 unless VERIQUILL_ANSI_CODEPAGE names another), as the registry and
// the page keep it; Linux names files with UTF-8 bytes, as Qt and the desktop do. Every path the
// component hands to the OS, and every name it takes from the OS or a file dialog, converts here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vq::fs {

// Component text -> the OS's bytes for the same name. Nothing when the text holds a zero byte or a
// byte the code page leaves undefined (0x81, 0x83, 0x88, 0x90, 0x98 in Windows-1250): such a text
// has no characters to name a file with, so it names none.
std::optional<std::string> ToOsName(std::string_view text);

// A name from the OS or a file dialog (UTF-8) -> component text. Nothing when it is not valid
// UTF-8, holds a zero byte, or has a character without an exact form in the code page (Cyrillic,
// CJK, a decomposed accent): the component could never name that file again.
std::optional<std::string> FromOsName(std::string_view osName);

// A file open for reading; closed by the destructor; move-only. Opening never blocks on a FIFO or
// a device, and never makes one the controlling terminal.
class InputFile {
  public:
    InputFile() = default;
    ~InputFile();
    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The file named by component text. A text without an OS form fails as a missing file does.
    static InputFile Open(std::string_view path);
    // The file named by the OS's own bytes (a command-line argument of a tool).
    static InputFile OpenOsName(const std::string& osName);

    bool isOpen() const noexcept { return fd_ >= 0; }
    // errno of the failed open (ENOENT for a name without an OS form), 0 when open.
    int error() const noexcept { return error_; }
    // Size of a regular file, from its status; nothing for a directory, FIFO or device, or when
    // the status cannot be read.
    std::optional<std::uint64_t> RegularSize() const;
    // Reads until `size` bytes are in `data` or the file ends; returns the number read (fewer on
    // end of file or a read error).
    std::size_t Read(void* data, std::size_t size);

  private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace vq::fs
