// Stand-in for the Windows registry: the same calls and error codes, kept in two REGEDIT4 text
// files (one per root). Every write is atomic and serialised between processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vq::reg {

// Windows error codes returned by every call (0 is success).
inline constexpr long kErrorSuccess = 0;
inline constexpr long kErrorFileNotFound = 2;
inline constexpr long kErrorAccessDenied = 5;
inline constexpr long kErrorInvalidHandle = 6;
inline constexpr long kErrorNotEnoughMemory = 8;
inline constexpr long kErrorInvalidData = 13;
inline constexpr long kErrorInvalidParameter = 87;
inline constexpr long kErrorDiskFull = 112;
inline constexpr long kErrorMoreData = 234;
inline constexpr long kErrorBadRegistryFile = 1009;  // ERROR_BADDB: a root file cannot be used
inline constexpr long kErrorRegistryIoFailed = 1016;
inline constexpr long kErrorKeyDeleted = 1018;  // the key of a handle was deleted meanwhile

// The largest root file read. The component's settings take a few kilobytes; anything near this is
// not a registry file of ours and is refused as a broken one.
inline constexpr std::size_t kMaxRootFileSize = 16 * 1024 * 1024;

// Value types.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// Access masks.
inline constexpr std::uint32_t kKeyRead = 0x20019;
inline constexpr std::uint32_t kKeyWrite = 0x20006;
inline constexpr std::uint32_t kKeyAllAccess = 0xF003F;

enum class Root { LocalMachine, CurrentUser };

// Environment variables that override where each root is kept.
inline constexpr const char* kMachineFileEnv = "VERIQUILL_HKLM";
inline constexpr const char* kUserFileEnv = "VERIQUILL_HKCU";

// Path of the file that holds a root (environment override, else the default location:
// /etc/veriquill/machine.reg and $XDG_CONFIG_HOME/veriquill/user.reg).
std::string RootFile(Root root);

// An open key. Closing is the destructor.
class Key {
  public:
    virtual ~Key() = default;
    virtual Root root() const = 0;
    virtual const std::string& path() const = 0;
    virtual bool writable() const = 0;
};
using KeyPtr = std::unique_ptr<Key>;

// RegCreateKeyEx: opens the sub-key (path with backslashes, case-insensitive), creating it when it
// is missing. A root file the process may read but not write gives access denied for write access,
// and for a missing key; an existing key opens read-only. The empty path is the root itself.
long CreateKey(Root root, const std::string& subKey, std::uint32_t access, KeyPtr& out);
// RegOpenKeyEx: opens an existing sub-key only.
long OpenKey(Root root, const std::string& subKey, std::uint32_t access, KeyPtr& out);

// RegQueryValueEx: `size` is the capacity on entry and the data's length on return. When the
// data does not fit, returns 234 and sets `size` to the length needed. `data` may be null to ask
// for the length. `type` may be null.
long QueryValue(const Key& key, const std::string& name, std::uint32_t* type, unsigned char* data,
                std::uint32_t* size);
// RegSetValueEx.
long SetValue(const Key& key, const std::string& name, std::uint32_t type,
              const unsigned char* data, std::uint32_t size);
// RegDeleteValue.
long DeleteValue(const Key& key, const std::string& name);
// RegDeleteKey (with its sub-keys).
long DeleteKey(Root root, const std::string& subKey);

// Names of the values and sub-keys of a key, in file order.
long EnumValues(const Key& key, std::vector<std::string>& names);
long EnumKeys(const Key& key, std::vector<std::string>& names);

// FormatMessage for the codes above: the system's message text (with its trailing CR LF), or an
// empty string when the code has no text.
std::string FormatMessage(long code);

// Import a .reg file's contents into the stores (REGEDIT4 or "Windows Registry Editor Version
// 5.00"); export a key and its sub-keys as REGEDIT4 text.
long ImportText(const std::string& text);
long ExportText(Root root, const std::string& subKey, std::string& out);

}  // namespace vq::reg
