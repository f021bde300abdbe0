// Stand-in for LoadLibrary, GetProcAddress and the file version calls. Code asks for a module by
// the DLL name it always used ("pkcs11.dll", "gclib.dll", "winscard.dll"); the machine registry
// maps each name to a shared object path (see ResolveLibraryPath).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vq::loader {

// Machine registry key whose string values map DLL names to shared object paths.
inline constexpr const char* kLibrariesKey = "SOFTWARE\\Brantwell\\Veriquill\\Libraries";

// Windows error codes reported by the loader.
inline constexpr long kErrorModNotFound = 126;   // ERROR_MOD_NOT_FOUND
inline constexpr long kErrorProcNotFound = 127;  // ERROR_PROC_NOT_FOUND

// Path of the shared object behind a DLL name: the value of the same name under kLibrariesKey
// (names compare case-insensitively, as Windows does), else the built-in default for the three
// known names; a name that contains a '/' is already a path. Nothing when the name is unknown.
std::optional<std::string> ResolveLibraryPath(std::string_view dllName);

// The default path of each known DLL name (nothing for other names).
std::optional<std::string> DefaultLibraryPath(std::string_view dllName);

// A loaded module. Loading happens in Load, unloading in the destructor; move-only.
class Library {
  public:
    Library() = default;
    ~Library();
    Library(Library&& other) noexcept;
    Library& operator=(Library&& other) noexcept;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;

    // LoadLibrary: resolves the name and dlopens it with local symbol binding. On failure the
    // result is not loaded and `error` (when given) receives kErrorModNotFound.
    static Library Load(std::string_view dllName, long* error = nullptr);

    bool loaded() const noexcept { return handle_ != nullptr; }
    explicit operator bool() const noexcept { return loaded(); }
    const std::string& path() const noexcept { return path_; }
    // dlerror text of the last failed load or lookup.
    const std::string& errorText() const noexcept { return errorText_; }

    // GetProcAddress: null when not loaded or the symbol is missing.
    void* Symbol(const char* name) const;
    template <class Fn>
    Fn Function(const char* name) const {
        return reinterpret_cast<Fn>(Symbol(name));
    }

    // FreeLibrary; the object is empty afterwards.
    void Free() noexcept;

  private:
    void* handle_ = nullptr;
    std::string path_;
    std::string errorText_;
};

// Version information of a module file. A shared object has no version resource, so this is
// what takes its place: the file must be a readable ELF object to have version information at
// all; reading it parses the ELF section headers for the dynamic section's SONAME; the root
// block ("\") exists only when that SONAME carries a numeric version ("libfoo.so.1.2.3"), whose
// first three numbers become the file version.
struct FixedFileInfo {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t patch = 0;
};

struct FileVersionInfo {
    std::string path;
    std::string soname;  // empty when the object has none
};

// Size of the block GetFileVersionInfo fills: non-zero for a readable file that starts with the
// ELF magic, 0 otherwise (missing, unreadable, not ELF).
std::uint32_t GetFileVersionInfoSize(std::string_view dllName);
// Reads the version information; false when the file cannot be read or its ELF structure is
// broken (truncated headers, offsets outside the file, no 64-bit little-endian object).
bool GetFileVersionInfo(std::string_view dllName, FileVersionInfo& out);
// VerQueryValue(info, "\"): false when the SONAME carries no version number.
bool VerQueryRoot(const FileVersionInfo& info, FixedFileInfo& out);

// The ELF parser behind GetFileVersionInfo, on bytes in memory; exposed for tests and fuzzing.
bool ParseElfSoname(const unsigned char* data, std::size_t size, std::string& soname);
// The numeric version at the end of a SONAME ("libx.so.1.2" gives 1, 2, 0).
bool SonameVersion(std::string_view soname, FixedFileInfo& out);

}  // namespace vq::loader
