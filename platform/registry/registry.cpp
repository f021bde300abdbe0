#include "platform/registry/registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <vector>

#include "platform/registry/reg_text.h"

namespace vq::reg {
namespace {

constexpr std::uint32_t kWriteRights = 0x0002 | 0x0004 | 0x10000;  // set value, create, delete

// Closes a descriptor on scope exit.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

std::string DirOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

long FromErrno(int e) {
    switch (e) {
        case ENOENT:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return kErrorDiskFull;
        default:
            return kErrorRegistryIoFailed;
    }
}

// The file a root lives in, with a symbolic link followed so that the rename replaces the target.
std::string ResolvedFile(Root root) {
    std::string path = RootFile(root);
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char buf[PATH_MAX];
        if (::realpath(path.c_str(), buf)) path = buf;
    }
    return path;
}

// Whether this process may change the file: the file's own permission when it exists (a read-only
// file stays read-only even though its directory would allow replacing it), else the permission
// of the nearest existing directory to create it in.
bool CanWrite(const std::string& file) {
    if (::faccessat(AT_FDCWD, file.c_str(), F_OK, AT_EACCESS) == 0) {
        return ::faccessat(AT_FDCWD, file.c_str(), W_OK, AT_EACCESS) == 0 &&
               ::faccessat(AT_FDCWD, DirOf(file).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    }
    std::string dir = DirOf(file);
    while (true) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0) {
            return S_ISDIR(st.st_mode) &&
                   ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
        }
        if (dir == "/" || dir == ".") return false;
        dir = DirOf(dir);
    }
}

// Creates the missing directories of `dir` (the user's with 0700, as it holds their settings).
long MakeDirs(const std::string& dir, mode_t mode) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : kErrorAccessDenied;
    if (dir != "/" && dir != ".") {
        if (long rc = MakeDirs(DirOf(dir), mode)) return rc;
    }
    if (::mkdir(dir.c_str(), mode) != 0 && errno != EEXIST) return FromErrno(errno);
    return 0;
}

// An advisory lock on "<file>.lock", held for the life of the object. Readers take it shared,
// writers exclusive; the data file itself is only ever replaced by rename.
class FileLock {
  public:
    // A reader that cannot create the lock file (a read-only system directory) reads unlocked:
    // the rename makes every version it can see complete.
    long Acquire(const std::string& file, bool exclusive, mode_t mode) {
        const std::string lockPath = file + ".lock";
        while (true) {
            int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, mode);
            if (fd < 0) fd = ::open(lockPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                if (!exclusive) return 0;
                return FromErrno(errno);
            }
            fd_ = std::make_unique<Fd>(fd);
            while (::flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
                if (errno != EINTR) return FromErrno(errno);
            }
            // The lock counts only while the file we locked is still the one at the path: had
            // someone removed or replaced it meanwhile, a second writer could lock the new one.
            struct stat locked {
            }, named{};
            if (::fstat(fd, &locked) != 0) return FromErrno(errno);
            if (::stat(lockPath.c_str(), &named) == 0 && named.st_dev == locked.st_dev &&
                named.st_ino == locked.st_ino)
                return 0;
            fd_.reset();
        }
    }

  private:
    std::unique_ptr<Fd> fd_;
};

// Temporary files of a root file are ".<name>.XXXXXX" beside it (mkostemp's six letters).
std::string TempPrefix(const std::string& file) {
    const std::size_t slash = file.rfind('/');
    return "." + file.substr(slash == std::string::npos ? 0 : slash + 1) + ".";
}

bool IsTempOf(const std::string& name, const std::string& prefix) {
    if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// Removes what writers killed between creating their temporary file and renaming it left behind.
// Called with the exclusive lock held: temporaries are made only under that lock, so every one
// that exists now belongs to a writer that is gone.
void RemoveStaleTemporaries(const std::string& file) {
    const std::string dir = DirOf(file);
    const std::string prefix = TempPrefix(file);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> stale;
    while (const dirent* e = ::readdir(d)) {
        if (IsTempOf(e->d_name, prefix)) stale.emplace_back(e->d_name);
    }
    ::closedir(d);
    for (const std::string& name : stale) {
        struct stat st {};
        const std::string path = dir + "/" + name;
        // Only plain files; a directory or link of that name is not ours.
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
    }
}

mode_t FileMode(Root root) {
    return root == Root::CurrentUser ? 0600 : 0644;
}
mode_t DirMode(Root root) {
    return root == Root::CurrentUser ? 0700 : 0755;
}

// Whether the path names something other than a regular file (a FIFO, a device, a directory, or
// a link to one). Such a root is refused before its lock file is made beside it.
bool NotAFile(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

// Reads and parses a root file; a missing file is an empty root. Only a regular file of at most
// kMaxRootFileSize bytes is read, so a FIFO, /dev/zero or a huge file cannot hang or exhaust us.
long LoadRoot(const std::string& file, Root root, RegNode& tree) {
    tree = RegNode{};
    Fd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return errno == ENOENT ? 0 : FromErrno(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return FromErrno(errno);
    if (!S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxRootFileSize))
        return kErrorBadRegistryFile;
    std::string text;
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return FromErrno(errno);
        }
        if (n == 0) break;
        // A file that grows while it is read is bounded all the same.
        if (text.size() + static_cast<std::size_t>(n) > kMaxRootFileSize)
            return kErrorBadRegistryFile;
        text.append(buf, static_cast<std::size_t>(n));
    }
    RegDocument doc;
    if (!ParseRegText(text, true, doc)) return kErrorBadRegistryFile;
    // A root file holds its own root only; anything else means it is not ours to rewrite.
    for (const auto& s : doc.sections) {
        if (s.root != root) return kErrorBadRegistryFile;
    }
    ApplySections(doc, root, tree);
    return 0;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Replaces the file atomically: temporary file in the same directory, fsync, rename, fsync of the
// directory. Keeps the mode (and, for root, the owner) of the file it replaces. Only ever called
// with the exclusive lock held (see RemoveStaleTemporaries).
long Store(const std::string& file, Root root, const std::string& text) {
    const std::string dir = DirOf(file);
    std::string temp = dir + "/" + TempPrefix(file) + "XXXXXX";
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0) return FromErrno(errno);
    struct stat old {};
    const bool existed = ::stat(file.c_str(), &old) == 0;
    long rc = 0;
    if (::fchmod(fd.get(), existed ? (old.st_mode & 07777) : FileMode(root)) != 0) {
        rc = FromErrno(errno);
    }
    if (!rc && existed && ::geteuid() == 0 && (old.st_uid != 0 || old.st_gid != 0)) {
        if (::fchown(fd.get(), old.st_uid, old.st_gid) != 0) rc = FromErrno(errno);
    }
    if (!rc && !WriteAll(fd.get(), text)) rc = FromErrno(errno);
    if (!rc && ::fsync(fd.get()) != 0) rc = FromErrno(errno);
    if (::close(fd.release()) != 0 && !rc) rc = FromErrno(errno);
    if (!rc && ::rename(temp.c_str(), file.c_str()) != 0) rc = FromErrno(errno);
    if (rc) {
        ::unlink(temp.c_str());
        return rc;
    }
    Fd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.get() >= 0) ::fsync(dirFd.get());
    return 0;
}

// Read access: a shared lock over the read of the file.
long Read(Root root, RegNode& tree) {
    const std::string file = ResolvedFile(root);
    if (NotAFile(file)) return kErrorBadRegistryFile;
    FileLock lock;
    if (long rc = lock.Acquire(file, false, FileMode(root))) return rc;
    return LoadRoot(file, root, tree);
}

// Read-modify-write under the exclusive lock, always from the file as it is now. `change`
// returns an error code and says whether it changed anything; nothing changed, nothing written.
long Modify(Root root, const std::function<long(RegNode&, bool&)>& change) {
    const std::string file = ResolvedFile(root);
    if (NotAFile(file)) return kErrorBadRegistryFile;
    if (!CanWrite(file)) return kErrorAccessDenied;
    if (long rc = MakeDirs(DirOf(file), DirMode(root))) return rc;
    FileLock lock;
    if (long rc = lock.Acquire(file, true, FileMode(root))) return rc;
    if (!CanWrite(file)) return kErrorAccessDenied;
    RemoveStaleTemporaries(file);
    RegNode tree;
    if (long rc = LoadRoot(file, root, tree)) return rc;
    bool changed = false;
    if (long rc = change(tree, changed)) return rc;
    if (!changed) return 0;
    return Store(file, root, WriteRegText(root, {}, tree));
}

class KeyImpl final : public Key {
  public:
    KeyImpl(Root root, std::string path, std::vector<std::string> parts, bool writable)
        : root_(root), path_(std::move(path)), parts_(std::move(parts)), writable_(writable) {}
    Root root() const override { return root_; }
    const std::string& path() const override { return path_; }
    bool writable() const override { return writable_; }
    const std::vector<std::string>& parts() const { return parts_; }

  private:
    Root root_;
    std::string path_;
    std::vector<std::string> parts_;
    bool writable_;
};

const KeyImpl* Impl(const Key& key) {
    return dynamic_cast<const KeyImpl*>(&key);
}

long OpenOrCreate(Root root, const std::string& subKey, std::uint32_t access, bool create,
                  KeyPtr& out) {
    out.reset();
    auto parts = SplitKeyPath(subKey);
    if (!parts) return kErrorInvalidParameter;
    const bool wantWrite = (access & kWriteRights) != 0;
    const std::string file = ResolvedFile(root);
    const bool canWrite = CanWrite(file);
    if (wantWrite && !canWrite) return kErrorAccessDenied;

    RegNode tree;
    if (long rc = Read(root, tree)) return rc;
    if (!tree.Find(*parts)) {
        if (!create) return kErrorFileNotFound;
        // Creating a key needs the right to change the store, whatever the handle asks for.
        if (!canWrite) return kErrorAccessDenied;
        const long rc = Modify(root, [&](RegNode& t, bool& changed) {
            t.Ensure(*parts, &changed);
            return 0L;
        });
        if (rc) return rc;
    }
    out = std::make_unique<KeyImpl>(root, subKey, std::move(*parts), wantWrite);
    return 0;
}

}  // namespace

std::string RootFile(Root root) {
    const char* env = std::getenv(root == Root::LocalMachine ? kMachineFileEnv : kUserFileEnv);
    if (env && *env) return env;
    if (root == Root::LocalMachine) return "/etc/veriquill/machine.reg";
    std::string base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        base = ".config";
    }
    return base + "/veriquill/user.reg";
}

long CreateKey(Root root, const std::string& subKey, std::uint32_t access, KeyPtr& out) {
    return OpenOrCreate(root, subKey, access, true, out);
}

long OpenKey(Root root, const std::string& subKey, std::uint32_t access, KeyPtr& out) {
    return OpenOrCreate(root, subKey, access, false, out);
}

long QueryValue(const Key& key, const std::string& name, std::uint32_t* type, unsigned char* data,
                std::uint32_t* size) {
    const KeyImpl* k = Impl(key);
    if (!k) return kErrorInvalidHandle;
    if (data && !size) return kErrorInvalidParameter;
    RegNode tree;
    if (long rc = Read(k->root(), tree)) return rc;
    RegNode* node = tree.Find(k->parts());
    if (!node) return kErrorKeyDeleted;
    const RegValue* v = node->Value(name);
    if (!v) return kErrorFileNotFound;
    if (type) *type = v->type;
    if (!size) return 0;
    const auto length = static_cast<std::uint32_t>(v->data.size());
    if (data) {
        if (*size < length) {
            *size = length;
            return kErrorMoreData;
        }
        std::memcpy(data, v->data.data(), length);
    }
    *size = length;
    return 0;
}

long SetValue(const Key& key, const std::string& name, std::uint32_t type,
              const unsigned char* data, std::uint32_t size) {
    const KeyImpl* k = Impl(key);
    if (!k) return kErrorInvalidHandle;
    if (!k->writable()) return kErrorAccessDenied;
    if (!ValidValueName(name) || (!data && size > 0)) return kErrorInvalidParameter;
    const std::string bytes = size ? std::string(reinterpret_cast<const char*>(data), size) : "";
    return Modify(k->root(), [&](RegNode& tree, bool& changed) {
        RegNode* node = tree.Find(k->parts());
        if (!node) return kErrorKeyDeleted;
        if (RegValue* v = node->Value(name)) {
            changed = v->type != type || v->data != bytes;
            v->type = type;
            v->data = bytes;
        } else {
            node->values.push_back(RegValue{name, type, bytes});
            changed = true;
        }
        return 0L;
    });
}

long DeleteValue(const Key& key, const std::string& name) {
    const KeyImpl* k = Impl(key);
    if (!k) return kErrorInvalidHandle;
    if (!k->writable()) return kErrorAccessDenied;
    return Modify(k->root(), [&](RegNode& tree, bool& changed) {
        RegNode* node = tree.Find(k->parts());
        if (!node) return kErrorKeyDeleted;
        if (!node->RemoveValue(name)) return kErrorFileNotFound;
        changed = true;
        return 0L;
    });
}

long DeleteKey(Root root, const std::string& subKey) {
    auto parts = SplitKeyPath(subKey);
    if (!parts || parts->empty()) return kErrorInvalidParameter;
    return Modify(root, [&](RegNode& tree, bool& changed) {
        std::vector<std::string> parent(parts->begin(), parts->end() - 1);
        RegNode* node = tree.Find(parent);
        if (!node || !node->RemoveChild(parts->back())) return kErrorFileNotFound;
        changed = true;
        return 0L;
    });
}

long EnumValues(const Key& key, std::vector<std::string>& names) {
    names.clear();
    const KeyImpl* k = Impl(key);
    if (!k) return kErrorInvalidHandle;
    RegNode tree;
    if (long rc = Read(k->root(), tree)) return rc;
    const RegNode* node = tree.Find(k->parts());
    if (!node) return kErrorKeyDeleted;
    for (const auto& v : node->values) names.push_back(v.name);
    return 0;
}

long EnumKeys(const Key& key, std::vector<std::string>& names) {
    names.clear();
    const KeyImpl* k = Impl(key);
    if (!k) return kErrorInvalidHandle;
    RegNode tree;
    if (long rc = Read(k->root(), tree)) return rc;
    const RegNode* node = tree.Find(k->parts());
    if (!node) return kErrorKeyDeleted;
    for (const auto& c : node->children) names.push_back(c->name);
    return 0;
}

std::string FormatMessage(long code) {
    static const std::map<long, const char*> kTexts = {
        {kErrorSuccess, "The operation completed successfully."},
        {kErrorFileNotFound, "The system cannot find the file specified."},
        {kErrorAccessDenied, "Access is denied."},
        {kErrorInvalidHandle, "The handle is invalid."},
        {kErrorNotEnoughMemory,
         "Not enough memory resources are available to process this command."},
        {kErrorInvalidData, "The data is invalid."},
        {kErrorInvalidParameter, "The parameter is incorrect."},
        {kErrorDiskFull, "There is not enough space on the disk."},
        {kErrorMoreData, "More data is available."},
        {kErrorBadRegistryFile, "The configuration registry database is corrupt."},
        {kErrorRegistryIoFailed,
         "An I/O operation initiated by the registry failed unrecoverably. The registry could not "
         "read in, or write out, or flush, one of the files that contain the system's image of "
         "the registry."},
        {kErrorKeyDeleted,
         "Illegal operation attempted on a registry key that has been marked for deletion."},
    };
    const auto it = kTexts.find(code);
    if (it == kTexts.end()) return {};
    return std::string(it->second) + "\r\n";
}

long ImportText(const std::string& text) {
    RegDocument doc;
    if (!ParseRegText(text, false, doc)) return kErrorInvalidData;
    bool touches[2] = {false, false};
    for (const auto& s : doc.sections) touches[s.root == Root::CurrentUser] = true;
    // Refuse before writing anything, so that an import never lands in one root only because
    // the other is read-only.
    for (Root root : {Root::LocalMachine, Root::CurrentUser}) {
        if (touches[root == Root::CurrentUser] && !CanWrite(ResolvedFile(root))) {
            return kErrorAccessDenied;
        }
    }
    for (Root root : {Root::LocalMachine, Root::CurrentUser}) {
        if (!touches[root == Root::CurrentUser]) continue;
        const long rc = Modify(root, [&](RegNode& tree, bool& changed) {
            ApplySections(doc, root, tree);
            changed = true;
            return 0L;
        });
        if (rc) return rc;
    }
    return 0;
}

long ExportText(Root root, const std::string& subKey, std::string& out) {
    out.clear();
    auto parts = SplitKeyPath(subKey);
    if (!parts) return kErrorInvalidParameter;
    RegNode tree;
    if (long rc = Read(root, tree)) return rc;
    const RegNode* node = tree.Find(*parts);
    if (!node) return kErrorFileNotFound;
    // Keep the names as the file spells them, not as the caller typed them.
    std::vector<std::string> spelled;
    const RegNode* walk = &tree;
    for (const auto& part : *parts) {
        walk = walk->Child(part);
        spelled.push_back(walk->name);
    }
    out = WriteRegText(root, spelled, *node);
    return 0;
}

}  // namespace vq::reg
