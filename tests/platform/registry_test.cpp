#include "platform/registry/registry.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "platform/registry/reg_text.h"

namespace vq::reg {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string Bytes(const unsigned char* p, std::uint32_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

// Runs `body` in a forked child and returns its exit status (the child's own check number).
int InChild(const std::function<int()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

// Each test keeps both roots in files of its own.
class Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vq-reg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        hklm_ = dir_ / "machine.reg";
        hkcu_ = dir_ / "user" / "veriquill" / "user.reg";
        setenv(kMachineFileEnv, hklm_.c_str(), 1);
        setenv(kUserFileEnv, hkcu_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv(kMachineFileEnv);
        unsetenv(kUserFileEnv);
        fs::remove_all(dir_);
        if (!race_.empty()) fs::remove_all(race_);
    }

    KeyPtr Create(Root root, const std::string& path) {
        KeyPtr key;
        EXPECT_EQ(CreateKey(root, path, kKeyRead | kKeyWrite, key), kErrorSuccess) << path;
        return key;
    }

    long Set(const Key& key, const std::string& name, std::uint32_t type, const std::string& data) {
        return SetValue(key, name, type, reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<std::uint32_t>(data.size()));
    }

    std::string Get(const Key& key, const std::string& name, std::uint32_t* type = nullptr) {
        std::uint32_t size = 0;
        EXPECT_EQ(QueryValue(key, name, nullptr, nullptr, &size), kErrorSuccess) << name;
        std::string out(size, '\0');
        EXPECT_EQ(QueryValue(key, name, type, reinterpret_cast<unsigned char*>(out.data()), &size),
                  kErrorSuccess);
        out.resize(size);
        return out;
    }

    fs::path dir_, hklm_, hkcu_, race_;
};

TEST_F(Registry, RootFilesComeFromEnvironmentOrXdgDefaults) {
    EXPECT_EQ(RootFile(Root::LocalMachine), hklm_.string());
    EXPECT_EQ(RootFile(Root::CurrentUser), hkcu_.string());
    unsetenv(kMachineFileEnv);
    unsetenv(kUserFileEnv);
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
    EXPECT_EQ(RootFile(Root::LocalMachine), "/etc/veriquill/machine.reg");
    EXPECT_EQ(RootFile(Root::CurrentUser), "/x/cfg/veriquill/user.reg");
    unsetenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", "/h", 1);
    EXPECT_EQ(RootFile(Root::CurrentUser), "/h/.config/veriquill/user.reg");
    // A relative XDG_CONFIG_HOME is ignored, as the base directory rules say.
    setenv("XDG_CONFIG_HOME", "rel", 1);
    EXPECT_EQ(RootFile(Root::CurrentUser), "/h/.config/veriquill/user.reg");
    unsetenv("XDG_CONFIG_HOME");
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
    if (oldXdg) setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
}

TEST_F(Registry, FirstWriteCreatesPrivateDirectoryAndFile) {
    ASSERT_FALSE(fs::exists(hkcu_.parent_path()));
    KeyPtr key = Create(Root::CurrentUser, "Software\\Brantwell\\Marlow\\Keys");
    ASSERT_TRUE(key);
    struct stat st {};
    ASSERT_EQ(stat(hkcu_.parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(hkcu_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(
        ReadFile(hkcu_),
        "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software]\n\n[HKEY_CURRENT_USER\\Software\\Brantwell]"
        "\n\n[HKEY_CURRENT_USER\\Software\\Brantwell\\Marlow]\n\n"
        "[HKEY_CURRENT_USER\\Software\\Brantwell\\Marlow\\Keys]\n\n");
    // The machine root was not touched.
    EXPECT_FALSE(fs::exists(hklm_));
}

TEST_F(Registry, OpenKeyFindsOnlyExistingKeysIgnoringCase) {
    KeyPtr key;
    EXPECT_EQ(OpenKey(Root::LocalMachine, "SOFTWARE\\X", kKeyRead, key), kErrorFileNotFound);
    EXPECT_FALSE(key);
    EXPECT_FALSE(fs::exists(hklm_));
    KeyPtr created = Create(Root::LocalMachine, "SOFTWARE\\Za\xBF\xF3\xB3\xE6");
    ASSERT_EQ(Set(*created, "Warto\x9C\xE6", kRegSz, std::string("v\0", 2)), kErrorSuccess);
    // ASCII letters and the Windows-1250 letter pairs (ż/Ż, ó/Ó, ł/Ł, ć/Ć) fold.
    ASSERT_EQ(OpenKey(Root::LocalMachine, "software\\ZA\xAF\xD3\xA3\xC6", kKeyRead, key),
              kErrorSuccess);
    EXPECT_EQ(Get(*key, "WARTO\x8C\xC6"), std::string("v\0", 2));
    EXPECT_FALSE(key->writable());
    EXPECT_EQ(key->path(), "software\\ZA\xAF\xD3\xA3\xC6");
    // Creating it again under another spelling adds nothing.
    const std::string before = ReadFile(hklm_);
    Create(Root::LocalMachine, "SOFTWARE\\ZA\xAF\xD3\xA3\xC6");
    EXPECT_EQ(ReadFile(hklm_), before);
}

TEST_F(Registry, InvalidPathsAndNamesAreRefused) {
    KeyPtr key;
    for (const char* bad : {"\\Lead", "Trail\\", "A\\\\B", "Tab\tName", "New\nLine"}) {
        EXPECT_EQ(CreateKey(Root::CurrentUser, bad, kKeyRead | kKeyWrite, key),
                  kErrorInvalidParameter)
            << bad;
    }
    EXPECT_EQ(CreateKey(Root::CurrentUser, std::string(256, 'k'), kKeyAllAccess, key),
              kErrorInvalidParameter);
    KeyPtr ok = Create(Root::CurrentUser, std::string(255, 'k'));
    ASSERT_TRUE(ok);
    EXPECT_EQ(Set(*ok, "line\nbreak", kRegSz, "x"), kErrorInvalidParameter);
    EXPECT_EQ(SetValue(*ok, "n", kRegBinary, nullptr, 3), kErrorInvalidParameter);
    EXPECT_EQ(DeleteKey(Root::CurrentUser, ""), kErrorInvalidParameter);
}

TEST_F(Registry, QueryHonoursCapacityAtTheBoundary) {
    KeyPtr key = Create(Root::CurrentUser, "K");
    const std::string data("abcdef\0", 7);
    ASSERT_EQ(Set(*key, "v", kRegSz, data), kErrorSuccess);

    unsigned char buf[16];
    std::uint32_t size = 0;
    // Length only.
    EXPECT_EQ(QueryValue(*key, "v", nullptr, nullptr, &size), kErrorSuccess);
    EXPECT_EQ(size, 7u);
    // Exactly the capacity needed.
    std::memset(buf, 'Z', sizeof buf);
    size = 7;
    std::uint32_t type = 99;
    EXPECT_EQ(QueryValue(*key, "v", &type, buf, &size), kErrorSuccess);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(type, kRegSz);
    EXPECT_EQ(Bytes(buf, 8), std::string("abcdef\0Z", 8));
    // One byte short: more data, the needed length, the buffer untouched.
    std::memset(buf, 'Z', sizeof buf);
    size = 6;
    EXPECT_EQ(QueryValue(*key, "v", nullptr, buf, &size), kErrorMoreData);
    EXPECT_EQ(size, 7u);
    EXPECT_EQ(buf[0], 'Z');
    // Data without a size is a caller error; neither asks only whether the value exists.
    EXPECT_EQ(QueryValue(*key, "v", nullptr, buf, nullptr), kErrorInvalidParameter);
    EXPECT_EQ(QueryValue(*key, "v", nullptr, nullptr, nullptr), kErrorSuccess);
    EXPECT_EQ(QueryValue(*key, "missing", nullptr, nullptr, nullptr), kErrorFileNotFound);
    // An empty value fits into no buffer at all.
    ASSERT_EQ(SetValue(*key, "empty", kRegBinary, nullptr, 0), kErrorSuccess);
    size = 0;
    EXPECT_EQ(QueryValue(*key, "empty", nullptr, buf, &size), kErrorSuccess);
    EXPECT_EQ(size, 0u);
}

TEST_F(Registry, EveryTypeRoundTripsThroughTheFileByteForByte) {
    KeyPtr key = Create(Root::CurrentUser, "Types");
    std::string binary;
    for (int i = 0; i < 200; ++i) binary.push_back(static_cast<char>(i * 7));
    const struct {
        const char* name;
        std::uint32_t type;
        std::string data;
    } cases[] = {
        {"plain", kRegSz, std::string("C:\\Keys\\\"a\"\0", 12)},
        {"polish", kRegSz, std::string("Za\xBF\xF3\xB3\xE6 g\xEA\x9C l\0", 13)},
        {"unterminated", kRegSz, "abc"},
        {"inner zero", kRegSz, std::string("a\0b\0", 4)},
        {"multi", kRegMultiSz,
         std::string("3B95\0"
                     "3BDB\0\0",
                     11)},
        {"binary", kRegBinary, binary},
        {"dword", kRegDword, std::string("\x78\x56\x34\x12", 4)},
        {"short dword", kRegDword, "\x01"},
        {"expand", kRegExpandSz, std::string("%HOME%\0", 7)},
        {"odd type", 0x1234, "\xFF"},
        {"", kRegSz, std::string("default\0", 8)},
    };
    for (const auto& c : cases) ASSERT_EQ(Set(*key, c.name, c.type, c.data), kErrorSuccess);

    const std::string text = ReadFile(hkcu_);
    EXPECT_NE(text.find("\"plain\"=\"C:\\\\Keys\\\\\\\"a\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"polish\"=hex(1):5a,61,bf,f3,b3,e6,20,67,ea,9c,20,6c,00\n"),
              std::string::npos);
    EXPECT_NE(text.find("\"dword\"=dword:12345678\n"), std::string::npos);
    EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);
    // Long hex data wraps with a backslash; no line grows beyond 80 columns.
    EXPECT_NE(text.find(",\\\n  "), std::string::npos);
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;

    // A fresh handle reads everything back from the file.
    KeyPtr again;
    ASSERT_EQ(OpenKey(Root::CurrentUser, "types", kKeyRead, again), kErrorSuccess);
    for (const auto& c : cases) {
        std::uint32_t type = 0;
        EXPECT_EQ(Get(*again, c.name, &type), c.data) << c.name;
        EXPECT_EQ(type, c.type) << c.name;
    }
    std::vector<std::string> names;
    ASSERT_EQ(EnumValues(*again, names), kErrorSuccess);
    ASSERT_EQ(names.size(), std::size(cases));
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], cases[i].name);
}

TEST_F(Registry, ReadsHandWrittenFiles) {
    WriteFile(hklm_,
              "REGEDIT4\r\n\r\n; reader drivers\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\SmartCard\\Components]\r\n"
              "\"GemPCKey USB\"=\"1\"\r\n"
              "\"Tokens\"=hex(7):33,42,00,\\\r\n"
              "    34,43,00,00\r\n"
              "@=dword:1f\r\n"
              "\"Name\" = \"ko\xB3o\"\r\n"
              "[hkey_local_machine\\software\\BRANTWELL\\smartcard\\components]\r\n"
              "\"gempckey usb\"=\"0\"\r\n");
    KeyPtr key;
    ASSERT_EQ(
        OpenKey(Root::LocalMachine, "SOFTWARE\\Brantwell\\SmartCard\\Components", kKeyRead, key),
        kErrorSuccess);
    EXPECT_EQ(Get(*key, "GemPCKey USB"), std::string("0\0", 2));  // the later line wins
    EXPECT_EQ(Get(*key, "Tokens"), std::string("3B\0"
                                               "4C\0\0",
                                               7));
    EXPECT_EQ(Get(*key, ""), std::string("\x1f\0\0\0", 4));
    EXPECT_EQ(Get(*key, "name"), std::string("ko\xB3o\0", 5));
    std::vector<std::string> names;
    ASSERT_EQ(EnumValues(*key, names), kErrorSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"GemPCKey USB", "Tokens", "", "Name"}));
}

TEST_F(Registry, DeletesValuesAndWholeSubtrees) {
    KeyPtr a = Create(Root::CurrentUser, "A");
    KeyPtr ab = Create(Root::CurrentUser, "A\\B\\C");
    Create(Root::CurrentUser, "A\\D");
    ASSERT_EQ(Set(*ab, "x", kRegSz, "1"), kErrorSuccess);
    std::vector<std::string> names;
    ASSERT_EQ(EnumKeys(*a, names), kErrorSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "D"}));

    EXPECT_EQ(DeleteValue(*ab, "X"), kErrorSuccess);
    EXPECT_EQ(DeleteValue(*ab, "x"), kErrorFileNotFound);
    EXPECT_EQ(DeleteKey(Root::CurrentUser, "a\\b"), kErrorSuccess);
    EXPECT_EQ(DeleteKey(Root::CurrentUser, "A\\B"), kErrorFileNotFound);
    KeyPtr gone;
    EXPECT_EQ(OpenKey(Root::CurrentUser, "A\\B\\C", kKeyRead, gone), kErrorFileNotFound);
    // A handle whose key was deleted meanwhile.
    EXPECT_EQ(Set(*ab, "x", kRegSz, "1"), kErrorKeyDeleted);
    EXPECT_EQ(QueryValue(*ab, "x", nullptr, nullptr, nullptr), kErrorKeyDeleted);
    ASSERT_EQ(EnumKeys(*a, names), kErrorSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"D"}));
}

TEST_F(Registry, ExportThenImportRestoresTheSameTree) {
    KeyPtr k = Create(Root::CurrentUser, "Software\\Brantwell\\Marlow\\Keys");
    ASSERT_EQ(Set(*k, "id1", kRegSz, std::string("/home/u/a.prv\0", 14)), kErrorSuccess);
    ASSERT_EQ(Set(*k, "id2", kRegBinary, std::string(100, '\x81')), kErrorSuccess);
    Create(Root::CurrentUser, "Software\\Other");
    std::string exported;
    ASSERT_EQ(ExportText(Root::CurrentUser, "software\\brantwell", exported), kErrorSuccess);
    EXPECT_TRUE(exported.starts_with("REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Brantwell]\n"));
    EXPECT_EQ(exported.find("Other"), std::string::npos);
    EXPECT_EQ(ExportText(Root::CurrentUser, "Nope", exported), kErrorFileNotFound);
    ASSERT_EQ(ExportText(Root::CurrentUser, "Software\\Brantwell", exported), kErrorSuccess);

    ASSERT_EQ(DeleteKey(Root::CurrentUser, "Software\\Brantwell"), kErrorSuccess);
    ASSERT_EQ(ImportText(exported), kErrorSuccess);
    std::string again;
    ASSERT_EQ(ExportText(Root::CurrentUser, "Software\\Brantwell", again), kErrorSuccess);
    EXPECT_EQ(again, exported);
}

TEST_F(Registry, ImportAppliesRemovalsAndVersion5Text) {
    ASSERT_EQ(ImportText("Windows Registry Editor Version 5.00\n\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n"
                         "\"Nazwa\"=\"Zażółć\"\n"
                         "\"Multi\"=hex(7):41,00,00,00,04,01,00,00,00,00\n"
                         "\"Gone\"=\"soon\"\n"
                         "[HKEY_CURRENT_USER\\Del\\Sub]\n"),
              kErrorSuccess);
    KeyPtr key;
    ASSERT_EQ(OpenKey(Root::LocalMachine, "SOFTWARE\\V", kKeyRead, key), kErrorSuccess);
    // UTF-8 and UTF-16 texts arrive in the component's code page.
    EXPECT_EQ(Get(*key, "Nazwa"), std::string("Za\xBF\xF3\xB3\xE6\0", 7));
    EXPECT_EQ(Get(*key, "Multi"), std::string("A\0\xA5\0\0", 5));
    ASSERT_EQ(ImportText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\V]\n\"Gone\"=-\n"
                         "[-HKEY_CURRENT_USER\\Del]\n"),
              kErrorSuccess);
    EXPECT_EQ(QueryValue(*key, "Gone", nullptr, nullptr, nullptr), kErrorFileNotFound);
    EXPECT_EQ(OpenKey(Root::CurrentUser, "Del", kKeyRead, key), kErrorFileNotFound);

    // Bad text changes nothing, even when its first part was fine.
    const std::string before = ReadFile(hklm_);
    EXPECT_EQ(ImportText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\New]\n\"a\"=hex:1\n"), kErrorInvalidData);
    EXPECT_EQ(ImportText("[HKEY_LOCAL_MACHINE\\New]\n"), kErrorInvalidData);
    EXPECT_EQ(ImportText("REGEDIT4\n[HKEY_CLASSES_ROOT\\New]\n"), kErrorInvalidData);
    EXPECT_EQ(ImportText(""), kErrorInvalidData);
    EXPECT_EQ(ReadFile(hklm_), before);
}

TEST_F(Registry, UnparsableFileIsReportedAndNeverOverwritten) {
    const std::vector<std::string> broken = {
        "not a registry file\n",
        "REGEDIT4\n\"value\"=\"before any key\"\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"unterminated\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:0g\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=dword:123456789\n",
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n",
        "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n",  // the other root's key in this root's file
        "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"bad \\n escape\"\n",
    };
    for (const auto& text : broken) {
        WriteFile(hklm_, text);
        KeyPtr key;
        EXPECT_EQ(CreateKey(Root::LocalMachine, "A", kKeyRead | kKeyWrite, key),
                  kErrorBadRegistryFile)
            << text;
        EXPECT_EQ(OpenKey(Root::LocalMachine, "A", kKeyRead, key), kErrorBadRegistryFile);
        EXPECT_EQ(DeleteKey(Root::LocalMachine, "A"), kErrorBadRegistryFile);
        EXPECT_EQ(ImportText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n"), kErrorBadRegistryFile);
        EXPECT_EQ(ReadFile(hklm_), text);
    }
    // A handle opened while the file was sound cannot write once it is broken.
    WriteFile(hklm_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
    KeyPtr key = Create(Root::LocalMachine, "A");
    ASSERT_TRUE(key);
    WriteFile(hklm_, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(\n");
    EXPECT_EQ(Set(*key, "v", kRegSz, "x"), kErrorBadRegistryFile);
    EXPECT_EQ(ReadFile(hklm_), "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex(\n");
    // An empty file is an empty root, not a broken one.
    WriteFile(hklm_, "");
    EXPECT_TRUE(Create(Root::LocalMachine, "A"));
}

// Whatever stands at a root's path, every call ends at once with the broken-file code and nothing
// is written over it or beside it.
TEST_F(Registry, HostileRootFilesAreRefusedAtOnceAndLeftAsTheyAre) {
    const fs::path fifo = dir_ / "pipe.reg";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const fs::path zeroLink = dir_ / "zero.reg";
    fs::create_symlink("/dev/zero", zeroLink);
    const fs::path huge = dir_ / "huge.reg";  // 300 MB, sparse: sized without being read
    {
        const int fd = ::open(huge.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(fd, 0);
        const char head[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";
        ASSERT_EQ(::write(fd, head, sizeof head - 1), static_cast<ssize_t>(sizeof head - 1));
        ASSERT_EQ(::ftruncate(fd, 300L * 1024 * 1024), 0);
        ::close(fd);
    }
    const fs::path zeros = dir_ / "zeros.reg";
    WriteFile(zeros, std::string(4096, '\0'));
    const fs::path truncated = dir_ / "truncated.reg";
    WriteFile(truncated, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=hex:01,0");
    const fs::path directory = dir_ / "dir.reg";
    fs::create_directory(directory);

    for (const fs::path& file : {fifo, zeroLink, huge, zeros, truncated, directory}) {
        SCOPED_TRACE(file.filename().string());
        setenv(kMachineFileEnv, file.c_str(), 1);
        const auto start = std::chrono::steady_clock::now();
        KeyPtr key;
        EXPECT_EQ(OpenKey(Root::LocalMachine, "A", kKeyRead, key), kErrorBadRegistryFile);
        EXPECT_EQ(CreateKey(Root::LocalMachine, "A", kKeyAllAccess, key), kErrorBadRegistryFile);
        EXPECT_EQ(DeleteKey(Root::LocalMachine, "A"), kErrorBadRegistryFile);
        EXPECT_EQ(ImportText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\B]\n"), kErrorBadRegistryFile);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(fs::read_symlink(zeroLink), "/dev/zero");
    EXPECT_EQ(fs::file_size(huge), 300u * 1024 * 1024);
    EXPECT_EQ(ReadFile(zeros), std::string(4096, '\0'));
    EXPECT_FALSE(fs::exists("/dev/zero.lock"));
    // Just under the bound a file is still read (and refused here for what it holds, not its size).
    WriteFile(zeros, "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"" +
                         std::string(kMaxRootFileSize - 64, 'x') + "\"\n");
    setenv(kMachineFileEnv, zeros.c_str(), 1);
    KeyPtr key;
    EXPECT_EQ(OpenKey(Root::LocalMachine, "A", kKeyRead, key), kErrorSuccess);
}

// A write that the disk cannot take (here: a file size limit) reports the failure, keeps the old
// file byte for byte and leaves no temporary behind.
TEST_F(Registry, WriteThatDoesNotFitKeepsTheOldFile) {
    const std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"v\"=\"old\"\n\n";
    WriteFile(hklm_, text);
    const std::string big(64 * 1024, 'y');
    const int failed = InChild([&]() -> int {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16 * 1024, 16 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 90;
        KeyPtr key;
        if (CreateKey(Root::LocalMachine, "A", kKeyAllAccess, key) != 0) return 1;
        if (SetValue(*key, "big", kRegSz, reinterpret_cast<const unsigned char*>(big.data()),
                     static_cast<std::uint32_t>(big.size())) != kErrorDiskFull)
            return 2;
        // A small change still fits.
        if (SetValue(*key, "w", kRegSz, reinterpret_cast<const unsigned char*>("ok"), 3) != 0)
            return 3;
        return 0;
    });
    EXPECT_EQ(failed, 0);
    const std::string now = ReadFile(hklm_);
    EXPECT_EQ(now.find("big"), std::string::npos);
    EXPECT_NE(now.find("\"w\"=\"ok\""), std::string::npos);
    EXPECT_NE(now.find("\"v\"=\"old\""), std::string::npos);
    for (const auto& entry : fs::directory_iterator(dir_))
        EXPECT_EQ(entry.path().filename().string().rfind(".machine.reg.", 0), std::string::npos)
            << entry.path();
}

TEST_F(Registry, ReadOnlyFileGivesAccessDeniedForWriting) {
    // Root writes anything, so the check runs as an unprivileged user when we are root.
    const bool root = getuid() == 0;
    const uid_t nobody = 65534;
    fs::permissions(dir_, fs::perms(0755));
    const fs::path store = dir_ / "ro";
    fs::create_directory(store);
    const fs::path file = store / "machine.reg";
    const std::string text =
        "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brantwell\\SmartCard\\Components]\n"
        "\"GemPCKey USB\"=\"1\"\n\n";
    WriteFile(file, text);
    if (root) {
        // The directory is the user's own: only the file's mode keeps the root read-only.
        ASSERT_EQ(chown(store.c_str(), nobody, nobody), 0);
        ASSERT_EQ(chown(file.c_str(), nobody, nobody), 0);
    }
    ASSERT_EQ(chmod(file.c_str(), 0444), 0);
    setenv(kMachineFileEnv, file.c_str(), 1);

    const int failed = InChild([&]() -> int {
        if (root && (setgid(nobody) != 0 || setuid(nobody) != 0)) return 90;
        KeyPtr key;
        const std::string path = "SOFTWARE\\Brantwell\\SmartCard\\Components";
        if (CreateKey(Root::LocalMachine, path, kKeyRead | kKeyWrite, key) != kErrorAccessDenied)
            return 1;
        if (OpenKey(Root::LocalMachine, path, kKeyWrite, key) != kErrorAccessDenied) return 2;
        if (CreateKey(Root::LocalMachine, path, kKeyRead, key) != kErrorSuccess) return 3;
        if (key->writable()) return 4;
        unsigned char buf[8];
        std::uint32_t size = sizeof buf;
        if (QueryValue(*key, "GemPCKey USB", nullptr, buf, &size) != 0 || size != 2) return 5;
        if (SetValue(*key, "x", kRegSz, buf, 2) != kErrorAccessDenied) return 6;
        if (DeleteValue(*key, "GemPCKey USB") != kErrorAccessDenied) return 7;
        // A missing key cannot be created in a read-only root, whatever access is asked for.
        if (CreateKey(Root::LocalMachine, "SOFTWARE\\New", kKeyRead, key) != kErrorAccessDenied)
            return 8;
        if (DeleteKey(Root::LocalMachine, "SOFTWARE") != kErrorAccessDenied) return 9;
        if (ImportText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Z]\n") != kErrorAccessDenied) return 10;
        return 0;
    });
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(ReadFile(file), text);
    // The check itself is real: once the file is writable the same user may write.
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    EXPECT_EQ(InChild([&]() -> int {
                  if (root && (setgid(nobody) != 0 || setuid(nobody) != 0)) return 90;
                  KeyPtr key;
                  if (CreateKey(Root::LocalMachine, "SOFTWARE\\New", kKeyAllAccess, key) != 0)
                      return 1;
                  return 0;
              }),
              0);
    EXPECT_NE(ReadFile(file).find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]"), std::string::npos);
}

TEST_F(Registry, ConcurrentWritersLoseNothing) {
    // Memory-backed files when available: the race is about the lock, and 2000 disk syncs would
    // make the test slow without testing anything more.
    char tmpl[] = "/dev/shm/vq-race-XXXXXX";
    if (mkdtemp(tmpl)) {
        race_ = tmpl;
        hkcu_ = race_ / "user.reg";
        setenv(kUserFileEnv, hkcu_.c_str(), 1);
    }
    Create(Root::CurrentUser, "Race");
    constexpr int kRounds = 1000;
    auto writer = [](char tag) {
        return [tag]() -> int {
            KeyPtr key;
            if (CreateKey(Root::CurrentUser, "Race", kKeyAllAccess, key) != 0) return 1;
            for (int i = 0; i < kRounds; ++i) {
                const std::string name = tag + std::to_string(i);
                if (SetValue(*key, name, kRegSz,
                             reinterpret_cast<const unsigned char*>(name.data()),
                             static_cast<std::uint32_t>(name.size())) != 0)
                    return 2;
            }
            return 0;
        };
    };
    const pid_t a = fork();
    if (a == 0) _exit(writer('a')());
    const pid_t b = fork();
    if (b == 0) _exit(writer('b')());
    int sa = 0, sb = 0;
    waitpid(a, &sa, 0);
    waitpid(b, &sb, 0);
    ASSERT_TRUE(WIFEXITED(sa) && WEXITSTATUS(sa) == 0);
    ASSERT_TRUE(WIFEXITED(sb) && WEXITSTATUS(sb) == 0);

    KeyPtr key;
    ASSERT_EQ(OpenKey(Root::CurrentUser, "Race", kKeyRead, key), kErrorSuccess);
    std::vector<std::string> names;
    ASSERT_EQ(EnumValues(*key, names), kErrorSuccess);
    EXPECT_EQ(names.size(), 2u * kRounds);
    const std::set<std::string> unique(names.begin(), names.end());
    for (int i = 0; i < kRounds; ++i) {
        EXPECT_TRUE(unique.count("a" + std::to_string(i))) << i;
        EXPECT_TRUE(unique.count("b" + std::to_string(i))) << i;
    }
    // No temporary file is left behind.
    for (const auto& entry : fs::directory_iterator(hkcu_.parent_path())) {
        EXPECT_TRUE(entry.path() == hkcu_ || entry.path().extension() == ".lock") << entry.path();
    }
}

TEST_F(Registry, WriteRemovesTemporariesThatDeadWritersLeft) {
    // Both roots in one folder: each root's write tidies only its own temporaries.
    hklm_ = hkcu_.parent_path() / "machine.reg";
    setenv(kMachineFileEnv, hklm_.c_str(), 1);
    KeyPtr key = Create(Root::CurrentUser, "Keys");
    ASSERT_TRUE(key);
    ASSERT_EQ(Set(*key, "k1", kRegSz, "kept"), kErrorSuccess);
    const fs::path dir = hkcu_.parent_path();
    // What a writer killed between creating its temporary file and renaming it leaves behind.
    const std::vector<std::string> stale = {".user.reg.Ab12Cd", ".user.reg.zzzzzz",
                                            ".user.reg.000000"};
    const std::vector<std::string> others = {".user.reg.Ab12C",     ".user.reg.Ab12Cde",
                                             ".user.reg.Ab-2Cd",    "user.reg.Ab12Cd",
                                             ".machine.reg.Ab12Cd", "notes.txt"};
    for (const auto& name : stale) WriteFile(dir / name, "REGEDIT4\n[HKEY_CURRENT_U");
    for (const auto& name : others) WriteFile(dir / name, "x");
    fs::create_directory(dir / ".user.reg.Dir123");

    // Readers leave them: only a writer, under the exclusive lock, can tell they are stale.
    EXPECT_EQ(Get(*key, "k1"), "kept");
    for (const auto& name : stale) EXPECT_TRUE(fs::exists(dir / name)) << name;

    ASSERT_EQ(Set(*key, "k2", kRegSz, "new"), kErrorSuccess);
    for (const auto& name : stale) EXPECT_FALSE(fs::exists(dir / name)) << name;
    for (const auto& name : others) EXPECT_TRUE(fs::exists(dir / name)) << name;
    EXPECT_TRUE(fs::is_directory(dir / ".user.reg.Dir123"));
    EXPECT_EQ(Get(*key, "k1"), "kept");
    EXPECT_EQ(Get(*key, "k2"), "new");

    // The machine root's temporaries go with a machine write.
    Create(Root::LocalMachine, "SOFTWARE");
    EXPECT_FALSE(fs::exists(dir / ".machine.reg.Ab12Cd"));
    EXPECT_TRUE(fs::exists(dir / "user.reg.Ab12Cd"));
}

TEST_F(Registry, TemporaryOfAWriterHoldingTheLockIsLeftAlone) {
    std::ifstream probe("/proc/locks");
    if (!probe)
        GTEST_SKIP() << "/proc/locks is not readable: cannot see a writer wait for the lock";
    KeyPtr key = Create(Root::CurrentUser, "Keys");
    ASSERT_TRUE(key);
    const fs::path dir = hkcu_.parent_path();
    const fs::path live = dir / ".user.reg.Live01";
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    // A writer in the middle of its write: lock held, temporary file written, not yet renamed.
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = ::open((hkcu_.string() + ".lock").c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || flock(fd, LOCK_EX) != 0) _exit(1);
        WriteFile(live, "REGEDIT4\n\n[HKEY_CURRENT_USER\\Keys]\n\"a\"=\"1\"\n\n");
        char c = 'r';
        if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(2);
        _exit(rename(live.c_str(), hkcu_.c_str()) == 0 ? 0 : 3);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    const pid_t writer = fork();
    if (writer == 0) _exit(Set(*key, "b", kRegSz, "2") == kErrorSuccess ? 0 : 1);

    // Wait (bounded) until the second writer is blocked on the lock.
    bool waiting = false;
    for (int i = 0; i < 1000 && !waiting; ++i) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("->") != std::string::npos &&
                line.find(" " + std::to_string(writer) + " ") != std::string::npos)
                waiting = true;
        }
        if (!waiting) usleep(10000);
    }
    EXPECT_TRUE(waiting) << "the second writer never waited for the lock";
    EXPECT_TRUE(fs::exists(live));
    c = 'g';
    ASSERT_EQ(write(go[1], &c, 1), 1);
    int sh = 0, sw = 0;
    waitpid(holder, &sh, 0);
    waitpid(writer, &sw, 0);
    for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
    EXPECT_TRUE(WIFEXITED(sh) && WEXITSTATUS(sh) == 0) << "the live writer lost its file";
    EXPECT_TRUE(WIFEXITED(sw) && WEXITSTATUS(sw) == 0);
    // The second write came after the first and kept it.
    EXPECT_EQ(Get(*key, "a"), std::string("1\0", 2));  // as the file gives it: with its zero
    EXPECT_EQ(Get(*key, "b"), "2");
    EXPECT_FALSE(fs::exists(live));
}

TEST(RegistryMessages, SystemTextsWithTrailingLineBreak) {
    EXPECT_EQ(FormatMessage(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(FormatMessage(5), "Access is denied.\r\n");
    EXPECT_EQ(FormatMessage(234), "More data is available.\r\n");
    EXPECT_EQ(FormatMessage(1009), "The configuration registry database is corrupt.\r\n");
    EXPECT_EQ(FormatMessage(87), "The parameter is incorrect.\r\n");
    EXPECT_EQ(FormatMessage(123456), "");
}

TEST(RegText, WrittenTextParsesBackToTheSameText) {
    RegNode tree;
    RegNode* node = tree.Ensure({"A", "B"});
    node->values.push_back({"s", kRegSz, std::string("x\\\"y\0", 5)});
    node->values.push_back({"b", kRegBinary, std::string(77, '\x7f')});
    node->values.push_back({"n", kRegNone, ""});
    const std::string text = WriteRegText(Root::CurrentUser, {}, tree);
    RegDocument doc;
    std::string error;
    ASSERT_TRUE(ParseRegText(text, false, doc, &error)) << error;
    RegNode back;
    ApplySections(doc, Root::CurrentUser, back);
    EXPECT_EQ(WriteRegText(Root::CurrentUser, {}, back), text);
    EXPECT_FALSE(
        ParseRegText("REGEDIT4\n[HKEY_CURRENT_USER\\A]\n\"v\"=\"x\"junk\n", false, doc, &error));
    EXPECT_EQ(error, "line 3: bad string");
}

}  // namespace
}  // namespace vq::reg
