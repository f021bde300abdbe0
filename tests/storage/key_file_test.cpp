#include "storage/key_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "resources/text.h"
#include "storage/codes.h"
#include "storage/key_storage.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

class KeyFileTest : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vq_keyfile_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& bytes) {
        const std::string p = dir_ / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    fs::path dir_;
};

TEST_F(KeyFileTest, ReadKeyFileCodes) {
    SecureString hex("stale");
    EXPECT_EQ(ReadKeyFile(nullptr, hex), code::kInvalidArgument);
    EXPECT_EQ(ReadKeyFile("", hex), code::kInvalidArgument);
    EXPECT_TRUE(hex.empty());
    EXPECT_EQ(ReadKeyFile((dir_ / "missing.prv").c_str(), hex), code::kKeyFileOpen);
    EXPECT_EQ(ReadKeyFile(dir_.c_str(), hex), code::kKeyFileOpen);
    const std::string fifo = dir_ / "pipe";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(ReadKeyFile(fifo.c_str(), hex), code::kKeyFileOpen);  // and does not hang

    EXPECT_EQ(ReadKeyFile(Write("k.prv", std::string("\x00\xAB-\n", 4)).c_str(), hex), 0);
    EXPECT_EQ(hex.view(), "00AB2D0A");
    EXPECT_EQ(ReadKeyFile(Write("empty.prv", "").c_str(), hex), 0);
    EXPECT_TRUE(hex.empty());
    EXPECT_EQ(ReadKeyFile(Write("huge.prv", std::string(kMaxKeyFileSize + 1, 'x')).c_str(), hex),
              code::kOutOfMemory);
}

struct FakeUser : KeyFileUser {
    void ShowWarning(const std::string& text) override { warnings.push_back(text); }
    bool AskForFile(const std::string& ext, const std::string& name, const std::string& fileFilter,
                    std::string& path) override {
        asked = true;
        extension = ext;
        defaultName = name;
        filter = fileFilter;
        if (!answer) return false;
        path = *answer;
        return true;
    }
    std::vector<std::string> warnings;
    bool asked = false;
    std::string extension, defaultName, filter;
    std::optional<std::string> answer;
};

// Paths inside the component are Windows-1250; the file system names files in UTF-8.
TEST_F(KeyFileTest, PathsInTheCodePageFindFilesNamedInUtf8) {
    const fs::path folder = dir_ / "Klucze ąćęłńóśźż ĄĆĘŁŃÓŚŹŻ";
    fs::create_directory(folder);
    std::ofstream(folder / "mój klucz.prv", std::ios::binary) << "AB";
    const std::string ansi = dir_.string() +
                             "/Klucze \xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF "
                             "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF/m\xF3j klucz.prv";
    SecureString hex;
    EXPECT_EQ(ReadKeyFile(ansi.c_str(), hex), 0);
    EXPECT_EQ(hex.view(), "4142");
    // The stored location of a key, with its terminating zero, is read the same way.
    FakeUser user;
    LocateResult r = LocateAndReadKeyFile(ansi + std::string(1, '\0'), kind::kFile, "k", user);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.material.view(), "4142");
    EXPECT_TRUE(user.warnings.empty());
}

// 0x81 has no character in Windows-1250: a path holding it names no file, not even the one
// whose name carries the replacement character a lenient conversion would put there.
TEST_F(KeyFileTest, AByteWithoutACharacterNamesNoFile) {
    Write("k\xEF\xBF\xBD.prv", "AB");
    Write("k.prv", "AB");
    SecureString hex("stale");
    EXPECT_EQ(ReadKeyFile((dir_.string() + "/k\x81.prv").c_str(), hex), code::kKeyFileOpen);
    EXPECT_TRUE(hex.empty());
}

TEST_F(KeyFileTest, StoredLocationIsReadWithoutAsking) {
    const std::string p = Write("k.prv", "AB");
    FakeUser user;
    // The registry value carries its terminating zero.
    LocateResult r = LocateAndReadKeyFile(p + std::string(1, '\0'), kind::kFile, "mykey", user);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.material.view(), "4142");
    EXPECT_FALSE(r.newPath);
    EXPECT_FALSE(user.asked);
    EXPECT_TRUE(user.warnings.empty());
}

TEST_F(KeyFileTest, MissingFileWarnsAndAsks) {
    const std::string chosen = Write("again.prv", "Z");
    FakeUser user;
    user.answer = chosen;
    SetLanguageIndex(kLanguageEnglish);
    LocateResult r =
        LocateAndReadKeyFile((dir_ / "deleted.prv").string(), kind::kFile, "mykey", user);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.material.view(), "5A");
    EXPECT_EQ(r.newPath, chosen);
    ASSERT_EQ(user.warnings.size(), 1u);
    const std::string& w = user.warnings[0];
    EXPECT_EQ(w,
              "The private key file has not been found. Please specify the key's location."
              "(plik mykey.prv)");
    EXPECT_EQ(user.extension, "prv");
    EXPECT_EQ(user.defaultName, "mykey");
    EXPECT_EQ(user.filter, "Keys (*.prv)|*.prv|All (*.*)|*.*||");
    SetLanguageIndex(kLanguagePolish);
}

TEST_F(KeyFileTest, CancelAndFailedReadAfterChoosing) {
    FakeUser user;
    LocateResult r = LocateAndReadKeyFile("", kind::kPkcs8File, "k", user);
    EXPECT_EQ(r.code, code::kCancelled);
    EXPECT_FALSE(r.newPath);
    EXPECT_EQ(user.extension, "der");
    ASSERT_EQ(user.warnings.size(), 1u);
    EXPECT_NE(user.warnings[0].find("(plik private_key.der lub priv.der)"), std::string::npos);

    // A chosen file that cannot be read still becomes the new path.
    FakeUser user2;
    user2.answer = (dir_ / "nothere.pgp").string();
    r = LocateAndReadKeyFile("", kind::kPgpFile, "k", user2);
    EXPECT_EQ(r.code, code::kKeyFileOpen);
    EXPECT_EQ(r.newPath, user2.answer);
    EXPECT_EQ(user2.extension, "pgp");
    EXPECT_EQ(user2.warnings[0].find("(plik"), std::string::npos);
}

}  // namespace
}  // namespace vq
