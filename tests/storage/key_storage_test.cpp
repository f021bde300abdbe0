#include "storage/key_storage.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/registry/registry.h"
#include "resources/text.h"
#include "storage/codes.h"

namespace vq {
namespace {

namespace fs = std::filesystem;

// Each test gets registry files of its own in a fresh directory, and Polish as the language.
class KeyStoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/vq_keystore_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        setenv(reg::kUserFileEnv, (dir_ / "user.reg").c_str(), 1);
        setenv(reg::kMachineFileEnv, (dir_ / "machine.reg").c_str(), 1);
        SetLanguageIndex(kLanguagePolish);
    }
    void TearDown() override {
        SetLanguageIndex(kLanguagePolish);
        unsetenv(reg::kUserFileEnv);
        unsetenv(reg::kMachineFileEnv);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

using KeyIndexTest = KeyStoreTest;
using KeyLocationTest = KeyStoreTest;

TEST_F(KeyIndexTest, ReplacingAnEntryKeepsItsCountPositionAndPlace) {
    CKeysStorage store;
    ASSERT_EQ(store.SetKey("k1", "4F6E65", "data1", kind::kFile), code::kOk);
    ASSERT_EQ(store.SetKey("k2", "54776F", "data2", kind::kBank), code::kOk);
    CKeyStorage* first = store.Find("k1");
    ASSERT_NE(first, nullptr);
    first->wrongPasswordCount = 3;
    first->listPosition = 4;

    EXPECT_EQ(store.SetKey("k1", "4E6577", "data3", kind::kSmartCard), code::kOk);
    ASSERT_EQ(store.Count(), 2u);
    EXPECT_EQ(store.At(0), first);
    EXPECT_EQ(first->name, "New");
    EXPECT_EQ(first->data, "data3");
    EXPECT_EQ(first->kind, kind::kSmartCard);
    EXPECT_EQ(first->wrongPasswordCount, 3);
    EXPECT_EQ(first->listPosition, 4);
    EXPECT_EQ(store.At(1)->id, "k2");
}

TEST_F(KeyIndexTest, BadArgumentsLeaveTheIndexUnchanged) {
    CKeysStorage store;
    ASSERT_EQ(store.SetKey("k1", "4F6E65", "data1", kind::kFile), code::kOk);
    struct Case {
        const char* id;
        const char* nameHex;
        const char* data;
    };
    // Every case is tried for a new identifier and for the existing one.
    for (const char* id : {"new", "k1"}) {
        for (const Case& c : {Case{id, "4F6E6", "d"}, Case{id, "", "d"}, Case{id, "4G", "d"},
                              Case{id, "4F6E65", ""}, Case{nullptr, "4F6E65", "d"},
                              Case{id, nullptr, "d"}, Case{id, "4F6E65", nullptr}}) {
            EXPECT_EQ(store.SetKey(c.id, c.nameHex, c.data, kind::kBank), code::kInvalidArgument)
                << id << " " << (c.nameHex ? c.nameHex : "(null)");
        }
    }
    EXPECT_EQ(store.SetKey("", "4F6E65", "d", kind::kBank), code::kInvalidArgument);
    ASSERT_EQ(store.Count(), 1u);
    EXPECT_EQ(store.At(0)->name, "One");
    EXPECT_EQ(store.At(0)->data, "data1");
    EXPECT_EQ(store.At(0)->kind, kind::kFile);
}

TEST_F(KeyIndexTest, KindKeepsItsLowEightBits) {
    CKeysStorage store;
    ASSERT_EQ(store.SetKey("a", "41", "d", 257), code::kOk);
    ASSERT_EQ(store.SetKey("b", "42", "d", 256), code::kOk);
    ASSERT_EQ(store.SetKey("c", "43", "d", -1), code::kOk);
    EXPECT_EQ(store.Find("a")->kind, 1);
    EXPECT_EQ(store.Find("b")->kind, 0);
    EXPECT_EQ(store.Find("c")->kind, 255);
}

TEST_F(KeyIndexTest, NameArrivesAsIsoHexAndIsKeptInWindows1250) {
    CKeysStorage store;
    ASSERT_EQ(store.SetKey("k", "a3f364BC", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.Find("k")->name, "\xA3\xF3\x64\x9F");
}

TEST_F(KeyIndexTest, NameEndsAtItsFirstZeroByte) {
    CKeysStorage store;
    // Nothing before the zero: an empty name, refused for a new and for an existing entry.
    for (const char* nameHex : {"00", "0000", "0041"}) {
        EXPECT_EQ(store.SetKey("new", nameHex, "d", kind::kFile), code::kInvalidArgument)
            << nameHex;
    }
    EXPECT_EQ(store.Count(), 0u);
    ASSERT_EQ(store.SetKey("k", "4F6E65", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.SetKey("k", "00", "other", kind::kBank), code::kInvalidArgument);
    EXPECT_EQ(store.Find("k")->name, "One");
    EXPECT_EQ(store.Find("k")->data, "d");

    // What follows the zero is not part of the name, wherever it is shown.
    ASSERT_EQ(store.SetKey("k", "410042", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.Find("k")->name, "A");
    SetLanguageIndex(kLanguageEnglish);
    EXPECT_EQ(store.Find("k")->DisplayText(), "A (File)");
    // A trailing zero, as a C string would carry it, and Polish letters before the zero.
    ASSERT_EQ(store.SetKey("p", "A1B100", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.Find("p")->name, "\xA5\xB9");
    ASSERT_EQ(store.SetKey("q", "4200A1", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.Find("q")->name, "B");
}

TEST_F(KeyIndexTest, LookupIsCaseSensitive) {
    CKeysStorage store;
    ASSERT_EQ(store.SetKey("Key", "41", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.Find("key"), nullptr);
    EXPECT_EQ(store.Find("KEY"), nullptr);
    EXPECT_EQ(store.Find("Key "), nullptr);
    EXPECT_NE(store.Find("Key"), nullptr);
    // A differently cased identifier is a separate entry, and removing it misses the first.
    EXPECT_EQ(store.SetKey("key", "42", "d", kind::kFile), code::kOk);
    EXPECT_EQ(store.Count(), 2u);
    EXPECT_EQ(store.RemoveKey("KEY"), code::kInvalidArgument);
}

TEST_F(KeyIndexTest, RemovingTheMiddleEntryKeepsTheOthersInOrder) {
    CKeysStorage store;
    for (const char* id : {"a", "b", "c"}) ASSERT_EQ(store.SetKey(id, "41", "d", 0), code::kOk);
    EXPECT_EQ(store.RemoveKey("b"), code::kOk);
    ASSERT_EQ(store.Count(), 2u);
    EXPECT_EQ(store.At(0)->id, "a");
    EXPECT_EQ(store.At(1)->id, "c");
    EXPECT_EQ(store.At(2), nullptr);
    EXPECT_EQ(store.RemoveKey("b"), code::kInvalidArgument);
    EXPECT_EQ(store.RemoveKey(nullptr), code::kInvalidArgument);
    store.RemoveAll();
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.RemoveKey("a"), code::kInvalidArgument);
}

TEST_F(KeyIndexTest, ThreeWrongPasswordsBlockEveryKindButTheSmartCard) {
    CKeyStorage entry;
    ASSERT_EQ(entry.Fill("k", "n", "d", kind::kFile), code::kOk);
    entry.wrongPasswordCount = 2;
    EXPECT_FALSE(entry.Blocked());
    entry.wrongPasswordCount = 3;
    EXPECT_TRUE(entry.Blocked());
    entry.kind = kind::kSmartCard;
    EXPECT_FALSE(entry.Blocked());
    entry.kind = kind::kUsbToken;
    entry.wrongPasswordCount = 7;
    EXPECT_TRUE(entry.Blocked());
}

TEST_F(KeyIndexTest, DisplayTextUsesTheKindWordOrItsNumber) {
    CKeyStorage entry;
    ASSERT_EQ(entry.Fill("k", "Firma", "d", kind::kCertStore), code::kOk);
    EXPECT_EQ(entry.DisplayText(), "Firma (3)");
    entry.kind = kind::kBank6;
    EXPECT_EQ(entry.DisplayText(), "Firma (6)");
    entry.kind = 200;
    EXPECT_EQ(entry.DisplayText(), "Firma (200)");

    entry.kind = kind::kFile;
    EXPECT_EQ(entry.DisplayText(), "Firma (Plik)");
    SetLanguageIndex(kLanguageEnglish);
    EXPECT_EQ(entry.DisplayText(), "Firma (File)");
    entry.kind = kind::kPkcs8File;
    EXPECT_EQ(entry.DisplayText(), "Firma (File)");
    entry.kind = kind::kBank;
    EXPECT_EQ(entry.DisplayText(), "Firma (Bank`s repository)");
    entry.kind = kind::kSmartCard;
    EXPECT_EQ(entry.DisplayText(), "Firma (SmartCard)");
    entry.kind = kind::kUsbToken;
    EXPECT_EQ(entry.DisplayText(), "Firma (USB Device)");
}

class CountingStore : public CKeysStorage {
  public:
    int changes = 0;

  protected:
    void CardModelsChanged() override { ++changes; }
};

TEST_F(KeyIndexTest, CardModelsStartWithThreeNamesAndGrowByOne) {
    CountingStore store;
    EXPECT_EQ(store.CardModels(), "GemSAFE GPK16000|SDK GPK16000    |GPK 16K Standard|");
    EXPECT_EQ(store.AddCardModel(nullptr), code::kInvalidArgument);
    EXPECT_EQ(store.changes, 0);
    EXPECT_EQ(store.AddCardModel("IDPrime"), code::kOk);
    EXPECT_EQ(store.CardModels(), "GemSAFE GPK16000|SDK GPK16000    |GPK 16K Standard|IDPrime|");
    EXPECT_EQ(store.changes, 1);
}

TEST_F(KeyLocationTest, NeverStoredLocationIs509) {
    CKeysStorage store;
    std::string hex = "unchanged";
    EXPECT_EQ(store.GetKeyLocation("k", hex), code::kNoLocation);
    EXPECT_EQ(hex, "unchanged");
    EXPECT_EQ(store.GetKeyLocation(nullptr, hex), code::kNoLocation);
    EXPECT_EQ(store.GetKeyLocation("", hex), code::kNoLocation);
}

TEST_F(KeyLocationTest, ReadBackEndsWithTheTerminatingZero) {
    {
        CKeysStorage store;
        EXPECT_EQ(store.SetKeyLocation("k", "433a5c6b2e707276"), code::kOk);
    }
    // The location lives in the user's registry, not in the key store.
    CKeysStorage store;
    std::string hex;
    ASSERT_EQ(store.GetKeyLocation("k", hex), code::kOk);
    EXPECT_EQ(hex, "433A5C6B2E70727600");
    // The identifier need not be declared, and the read text is accepted back unchanged.
    EXPECT_EQ(store.Count(), 0u);
    EXPECT_EQ(store.SetKeyLocation("other", hex.c_str()), code::kOk);
    ASSERT_EQ(store.GetKeyLocation("other", hex), code::kOk);
    EXPECT_EQ(hex, "433A5C6B2E70727600");

    reg::KeyPtr key;
    ASSERT_EQ(reg::OpenKey(reg::Root::CurrentUser, kKeyLocationsKey, reg::kKeyRead, key), 0);
    std::uint32_t type = 0;
    unsigned char data[32];
    std::uint32_t size = sizeof data;
    ASSERT_EQ(reg::QueryValue(*key, "k", &type, data, &size), 0);
    EXPECT_EQ(type, reg::kRegSz);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), std::string("C:\\k.prv", 9));
}

TEST_F(KeyLocationTest, LocationsFromTwoHundredSixtyCharactersCannotBeRead) {
    CKeysStorage store;
    std::string hex;
    const std::string fits(259 * 2, 'A');  // 259 characters and the zero fill the buffer
    ASSERT_EQ(store.SetKeyLocation("fits", fits.c_str()), code::kOk);
    ASSERT_EQ(store.GetKeyLocation("fits", hex), code::kOk);
    EXPECT_EQ(hex, fits + "00");

    const std::string tooLong(260 * 2, 'A');
    EXPECT_EQ(store.SetKeyLocation("long", tooLong.c_str()), code::kOk);
    EXPECT_EQ(store.GetKeyLocation("long", hex), code::kNoLocation);
}

TEST_F(KeyLocationTest, EmptyLocationReadsAsOneZeroByte) {
    CKeysStorage store;
    ASSERT_EQ(store.StoreLocation("k", ""), code::kOk);
    std::string hex;
    ASSERT_EQ(store.GetKeyLocation("k", hex), code::kOk);
    EXPECT_EQ(hex, "00");
}

TEST_F(KeyLocationTest, BadHexStoresNothing) {
    CKeysStorage store;
    ASSERT_EQ(store.SetKeyLocation("k", "433A"), code::kOk);
    for (const char* bad : {"433", "", "4G", "43 3A", "4300414243"}) {
        EXPECT_EQ(store.SetKeyLocation("k", bad), code::kInvalidArgument) << bad;
        EXPECT_EQ(store.SetKeyLocation("fresh", bad), code::kInvalidArgument) << bad;
    }
    EXPECT_EQ(store.SetKeyLocation("k", nullptr), code::kInvalidArgument);
    EXPECT_EQ(store.SetKeyLocation(nullptr, "41"), code::kInvalidArgument);
    EXPECT_EQ(store.SetKeyLocation("", "41"), code::kInvalidArgument);
    std::string hex;
    ASSERT_EQ(store.GetKeyLocation("k", hex), code::kOk);
    EXPECT_EQ(hex, "433A00");
    EXPECT_EQ(store.GetKeyLocation("fresh", hex), code::kNoLocation);
}

TEST_F(KeyLocationTest, FailedWriteIsReportedAsOne) {
    // The user's registry file cannot be created: its directory is a plain file.
    const fs::path blocker = dir_ / "blocker";
    {
        std::FILE* f = std::fopen(blocker.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    setenv(reg::kUserFileEnv, (blocker / "user.reg").c_str(), 1);
    CKeysStorage store;
    EXPECT_EQ(store.SetKeyLocation("k", "41"), code::kInvalidArgument);
    EXPECT_EQ(store.StoreLocation("k", "A"), code::kInvalidArgument);
    std::string hex;
    EXPECT_EQ(store.GetKeyLocation("k", hex), code::kNoLocation);
}

}  // namespace
}  // namespace vq
