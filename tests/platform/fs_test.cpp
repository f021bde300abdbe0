// The boundary between paths in the component's code page and the file system's UTF-8 names.
#include "platform/fs/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <fstream>
#include <set>
#include <string>

namespace vq::fs {
namespace {

// Every Polish letter, small and capital, as Windows-1250 bytes and as UTF-8.
constexpr const char* kPolishAnsi =
    "\xB9\xE6\xEA\xB3\xF1\xF3\x9C\x9F\xBF"
    "\xA5\xC6\xCA\xA3\xD1\xD3\x8C\x8F\xAF";
constexpr const char* kPolishUtf8 = "ąćęłńóśźżĄĆĘŁŃÓŚŹŻ";

TEST(FsNames, PolishLettersConvertLetterForLetter) {
    EXPECT_EQ(ToOsName(kPolishAnsi), kPolishUtf8);
    EXPECT_EQ(FromOsName(kPolishUtf8), kPolishAnsi);
    const std::string path = "/home/jan/Pulpit/Klucze bankowe/m\xF3j klucz.prv";
    EXPECT_EQ(ToOsName(path), "/home/jan/Pulpit/Klucze bankowe/mój klucz.prv");
    EXPECT_EQ(FromOsName(*ToOsName(path)), path);
    EXPECT_EQ(ToOsName(""), "");
    EXPECT_EQ(FromOsName(""), "");
    EXPECT_EQ(ToOsName("/tmp/a?b*.prv"), "/tmp/a?b*.prv");  // a real '?' is no replacement
    EXPECT_EQ(FromOsName("/tmp/a?b*.prv"), "/tmp/a?b*.prv");
}

TEST(FsNames, EveryDefinedByteRoundTripsAndOnlyTheUndefinedOnesAreRefused) {
    std::set<int> refused;
    for (int b = 1; b < 256; ++b) {
        const std::string text(1, static_cast<char>(b));
        const auto os = ToOsName(text);
        if (!os) {
            refused.insert(b);
            continue;
        }
        EXPECT_EQ(FromOsName(*os), text) << b;
        if (b < 0x80)
            EXPECT_EQ(*os, text) << b;  // ASCII stays itself
        else
            EXPECT_TRUE(os->size() == 2 || os->size() == 3) << b;
    }
    // Windows-1250 leaves exactly these five without a character: they name no file.
    EXPECT_EQ(refused, (std::set<int>{0x81, 0x83, 0x88, 0x90, 0x98}));
    EXPECT_FALSE(ToOsName("/home/jan/k\x81.prv"));
    // A zero byte would cut the name short at the system call.
    EXPECT_FALSE(ToOsName(std::string("/tmp/a\0b", 8)));
    EXPECT_FALSE(FromOsName(std::string("/tmp/a\0b", 8)));
}

TEST(FsNames, NamesTheCodePageCannotHoldAreRefused) {
    EXPECT_FALSE(FromOsName("/home/jan/Ключи/k.prv"));      // Cyrillic
    EXPECT_FALSE(FromOsName("/home/jan/鍵.prv"));           // CJK
    EXPECT_FALSE(FromOsName("/tmp/\xF0\x9F\x94\x91.prv"));  // emoji, four bytes
    // "ó" decomposed (o and a combining acute), as some systems write names: its bytes differ
    // from the composed letter, so no component text names this file.
    EXPECT_FALSE(FromOsName("/tmp/mo\xCC\x81j.prv"));
    EXPECT_FALSE(FromOsName("/tmp/\xC2\x81.prv"));  // U+0081: the control character, not byte 0x81
    EXPECT_FALSE(FromOsName("/tmp/\xEF\xBF\xBD.prv"));  // U+FFFD from an undecodable name
    // Not UTF-8 at all.
    EXPECT_FALSE(FromOsName("/tmp/\xF3j.prv"));         // a Windows-1250 byte
    EXPECT_FALSE(FromOsName("/tmp/\xC3"));              // truncated sequence
    EXPECT_FALSE(FromOsName("/tmp/\xC0\xAF"));          // overlong '/'
    EXPECT_FALSE(FromOsName("/tmp/\xED\xA0\x80.prv"));  // encoded surrogate
}

class InputFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    std::string OsPath(const std::string& utf8Name) const {
        return dir_.path().toStdString() + "/" + utf8Name;
    }
    QTemporaryDir dir_;
};

TEST_F(InputFileTest, OpensByComponentTextAndReadsAll) {
    const std::string folder = OsPath(kPolishUtf8);
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    std::ofstream(folder + "/" + kPolishUtf8 + ".prv", std::ios::binary) << "klucz";
    const std::string text = *FromOsName(folder) + "/" + kPolishAnsi + ".prv";

    InputFile f = InputFile::Open(text);
    ASSERT_TRUE(f.isOpen()) << f.error();
    EXPECT_EQ(f.error(), 0);
    EXPECT_EQ(f.RegularSize(), 5u);
    char buf[16] = {};
    EXPECT_EQ(f.Read(buf, sizeof buf), 5u);  // fewer at the end of the file
    EXPECT_EQ(std::string(buf), "klucz");
    EXPECT_EQ(f.Read(buf, sizeof buf), 0u);

    InputFile moved = std::move(f);
    EXPECT_FALSE(f.isOpen());
    EXPECT_TRUE(moved.isOpen());
    EXPECT_EQ(f.Read(buf, 1), 0u);

    // The UTF-8 bytes taken as component text are another name (the fault this boundary mends).
    InputFile wrong = InputFile::Open(folder + "/" + kPolishUtf8 + ".prv");
    EXPECT_FALSE(wrong.isOpen());
    EXPECT_EQ(wrong.error(), ENOENT);
    // The system's own name opens the same file.
    EXPECT_TRUE(InputFile::OpenOsName(folder + "/" + kPolishUtf8 + ".prv").isOpen());
}

TEST_F(InputFileTest, NamesWithoutASystemFormAndSpecialFiles) {
    // A name with an undefined byte never reaches the system: reported as missing.
    InputFile undefined = InputFile::Open(*FromOsName(OsPath("k")) + "\x81");
    EXPECT_FALSE(undefined.isOpen());
    EXPECT_EQ(undefined.error(), ENOENT);
    EXPECT_FALSE(undefined.RegularSize());
    EXPECT_FALSE(InputFile::Open("").isOpen());
    EXPECT_FALSE(InputFile::OpenOsName("").isOpen());

    // A directory opens, but has no size as a regular file; a FIFO neither blocks nor counts.
    InputFile dir = InputFile::Open(*FromOsName(dir_.path().toStdString()));
    ASSERT_TRUE(dir.isOpen());
    EXPECT_FALSE(dir.RegularSize());
    const std::string fifo = OsPath("rura");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    InputFile pipe = InputFile::Open(*FromOsName(fifo));
    ASSERT_TRUE(pipe.isOpen());
    EXPECT_FALSE(pipe.RegularSize());
}

}  // namespace
}  // namespace vq::fs
