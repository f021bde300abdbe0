#include "platform/loader/loader.h"

#include <dlfcn.h>
#include <elf.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/fs/fs.h"
#include "platform/registry/registry.h"

#ifndef VQ_LIBDIR
#define VQ_LIBDIR "/usr/local/lib/veriquill"
#endif

namespace vq::loader {
namespace {

// Larger files are no PKCS#11 module worth reading for a version.
constexpr std::uint64_t kMaxModuleFile = 256u * 1024 * 1024;

std::string Lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::optional<std::string> ConfiguredPath(std::string_view dllName) {
    reg::KeyPtr key;
    if (reg::OpenKey(reg::Root::LocalMachine, kLibrariesKey, reg::kKeyRead, key) !=
        reg::kErrorSuccess)
        return std::nullopt;
    std::vector<std::string> names;
    if (reg::EnumValues(*key, names) != reg::kErrorSuccess) return std::nullopt;
    const std::string wanted = Lower(dllName);
    for (const auto& name : names) {
        if (Lower(name) != wanted) continue;
        unsigned char buffer[4096];
        std::uint32_t size = sizeof buffer;
        std::uint32_t type = 0;
        if (reg::QueryValue(*key, name, &type, buffer, &size) != reg::kErrorSuccess)
            return std::nullopt;
        if (type != reg::kRegSz && type != reg::kRegExpandSz) return std::nullopt;
        std::string path(reinterpret_cast<const char*>(buffer), size);
        while (!path.empty() && path.back() == '\0') path.pop_back();
        if (path.empty()) return std::nullopt;
        return path;
    }
    return std::nullopt;
}

// The whole module file; `path` is component text, as the registry holds it.
std::optional<std::string> ReadFile(const std::string& path) {
    fs::InputFile file = fs::InputFile::Open(path);
    const std::optional<std::uint64_t> size = file.RegularSize();
    if (!size || *size > kMaxModuleFile) return std::nullopt;
    std::string data(static_cast<std::size_t>(*size), '\0');
    if (file.Read(data.data(), data.size()) != data.size()) return std::nullopt;
    return data;
}

}  // namespace

std::optional<std::string> DefaultLibraryPath(std::string_view dllName) {
    const std::string name = Lower(dllName);
    if (name == "pkcs11.dll") return std::string("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so");
    if (name == "gclib.dll") return std::string("/usr/lib/x86_64-linux-gnu/gclib.so");
    if (name == "winscard.dll") return std::string(VQ_LIBDIR "/libvq-winscard.so");
    return std::nullopt;
}

std::optional<std::string> ResolveLibraryPath(std::string_view dllName) {
    if (dllName.empty()) return std::nullopt;
    if (dllName.find('/') != std::string_view::npos) return std::string(dllName);
    if (auto configured = ConfiguredPath(dllName)) return configured;
    return DefaultLibraryPath(dllName);
}

Library::~Library() {
    Free();
}

Library::Library(Library&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      path_(std::move(other.path_)),
      errorText_(std::move(other.errorText_)) {}

Library& Library::operator=(Library&& other) noexcept {
    if (this != &other) {
        Free();
        handle_ = std::exchange(other.handle_, nullptr);
        path_ = std::move(other.path_);
        errorText_ = std::move(other.errorText_);
    }
    return *this;
}

Library Library::Load(std::string_view dllName, long* error) {
    Library lib;
    auto path = ResolveLibraryPath(dllName);
    if (!path) {
        lib.errorText_ = "no shared object configured for " + std::string(dllName);
        if (error) *error = kErrorModNotFound;
        return lib;
    }
    lib.path_ = *path;
    const std::optional<std::string> osName = fs::ToOsName(*path);
    // RTLD_LOCAL keeps the module's symbols (which may share names with other modules, such as
    // the PC/SC functions) out of the global namespace.
    if (osName) lib.handle_ = dlopen(osName->c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle_) {
        const char* text = osName ? dlerror() : "the path has no form on this system";
        lib.errorText_ = text ? text : "dlopen failed";
        if (error) *error = kErrorModNotFound;
    } else if (error) {
        *error = 0;
    }
    return lib;
}

void* Library::Symbol(const char* name) const {
    if (!handle_ || !name) return nullptr;
    return dlsym(handle_, name);
}

void Library::Free() noexcept {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
    path_.clear();
}

bool ParseElfSoname(const unsigned char* data, std::size_t size, std::string& soname) {
    soname.clear();
    Elf64_Ehdr eh;
    if (size < sizeof eh) return false;
    std::memcpy(&eh, data, sizeof eh);
    if (std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_ident[EI_DATA] != ELFDATA2LSB)
        return false;
    if (eh.e_shentsize != sizeof(Elf64_Shdr) || eh.e_shoff == 0 || eh.e_shoff > size) return false;
    const std::size_t count = eh.e_shnum;
    if (count > (size - eh.e_shoff) / sizeof(Elf64_Shdr)) return false;
    auto section = [&](std::size_t i) {
        Elf64_Shdr sh;
        std::memcpy(&sh, data + eh.e_shoff + i * sizeof(Elf64_Shdr), sizeof sh);
        return sh;
    };
    auto inside = [&](std::uint64_t offset, std::uint64_t length) {
        return offset <= size && length <= size - offset;
    };
    for (std::size_t i = 0; i < count; ++i) {
        const Elf64_Shdr dyn = section(i);
        if (dyn.sh_type != SHT_DYNAMIC) continue;
        if (!inside(dyn.sh_offset, dyn.sh_size) || dyn.sh_link >= count) return false;
        const Elf64_Shdr str = section(dyn.sh_link);
        if (!inside(str.sh_offset, str.sh_size)) return false;
        const std::size_t entries = dyn.sh_size / sizeof(Elf64_Dyn);
        for (std::size_t e = 0; e < entries; ++e) {
            Elf64_Dyn d;
            std::memcpy(&d, data + dyn.sh_offset + e * sizeof(Elf64_Dyn), sizeof d);
            if (d.d_tag == DT_NULL) break;
            if (d.d_tag != DT_SONAME) continue;
            if (d.d_un.d_val >= str.sh_size) return false;
            const char* begin = reinterpret_cast<const char*>(data + str.sh_offset + d.d_un.d_val);
            const std::size_t max = str.sh_size - d.d_un.d_val;
            const void* end = std::memchr(begin, '\0', max);
            if (!end) return false;
            soname.assign(begin, static_cast<const char*>(end));
            return true;
        }
        return true;  // a dynamic section without SONAME
    }
    return true;  // no dynamic section: readable, but nothing to report
}

bool SonameVersion(std::string_view soname, FixedFileInfo& out) {
    const auto pos = soname.find(".so.");
    if (pos == std::string_view::npos) return false;
    std::string_view rest = soname.substr(pos + 4);
    std::uint32_t parts[3] = {0, 0, 0};
    int index = 0;
    bool digit = false;
    for (char c : rest) {
        if (c >= '0' && c <= '9') {
            if (index < 3) {
                if (parts[index] > 100000000u) return false;
                parts[index] = parts[index] * 10 + static_cast<std::uint32_t>(c - '0');
            }
            digit = true;
        } else if (c == '.' && digit) {
            ++index;
            digit = false;
        } else {
            return false;
        }
    }
    if (!digit) return false;
    out = {parts[0], parts[1], parts[2]};
    return true;
}

std::uint32_t GetFileVersionInfoSize(std::string_view dllName) {
    auto path = ResolveLibraryPath(dllName);
    if (!path) return 0;
    fs::InputFile file = fs::InputFile::Open(*path);
    char magic[SELFMAG];
    if (!file.RegularSize() || file.Read(magic, SELFMAG) != SELFMAG ||
        std::memcmp(magic, ELFMAG, SELFMAG) != 0)
        return 0;
    return sizeof(FileVersionInfo);
}

bool GetFileVersionInfo(std::string_view dllName, FileVersionInfo& out) {
    auto path = ResolveLibraryPath(dllName);
    if (!path) return false;
    auto data = ReadFile(*path);
    if (!data) return false;
    std::string soname;
    if (!ParseElfSoname(reinterpret_cast<const unsigned char*>(data->data()), data->size(), soname))
        return false;
    out.path = *path;
    out.soname = std::move(soname);
    return true;
}

bool VerQueryRoot(const FileVersionInfo& info, FixedFileInfo& out) {
    return SonameVersion(info.soname, out);
}

}  // namespace vq::loader
