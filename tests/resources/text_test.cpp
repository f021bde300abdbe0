#include "resources/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "platform/codepage/codepage.h"
#include "resources/string_table.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

// Every text the component loads, by base identifier.
const std::vector<int>& AllBases() {
    static const std::vector<int> bases = {kTextIssuedFor,
                                           kTextIssuedBy,
                                           kTextSelectCertificate,
                                           kTextKeyNameInUse,
                                           kTextIncorrectPassword,
                                           kTextOrderParameter,
                                           kTextOrderValue,
                                           kTextKeyNameTooLong,
                                           kTextEnterKeyName,
                                           kTextEnterCertificateName,
                                           kTextPasswordTooShort,
                                           kTextIncorrectPin,
                                           kTextEnterPin,
                                           kTextInsertCard,
                                           kTextPinTooShortMinimum,
                                           kTextCertificateGroup,
                                           kTextCertificateList,
                                           kTextNewKeyLocation,
                                           kTextEnterKeyNameLabel,
                                           kTextFormatted,
                                           kTextBeingSigned,
                                           kTextSelectKeyToSign,
                                           kTextKeyPasswordLabel,
                                           kTextSignButton,
                                           kTextCancelButton,
                                           kTextSignOrder,
                                           kTextExpand,
                                           kTextCollapse,
                                           kTextOrderContent,
                                           kTextOk,
                                           kTextPassword,
                                           kTextKeyboard,
                                           kTextBankRepository,
                                           kTextLocalStorage,
                                           kTextKeysFilter,
                                           kTextAllFilter,
                                           kTextGenerateButton,
                                           kTextNameLabel,
                                           kTextTypePin,
                                           kTextPin,
                                           kTextPinsDiffer,
                                           kTextChangePin,
                                           kTextPuk,
                                           kTextNewPuk,
                                           kTextChangePuk,
                                           kTextInvalidPin,
                                           kTextInvalidNewPin,
                                           kTextPuksDiffer,
                                           kTextUnblockCard,
                                           kTextPrintPuk,
                                           kTextSelectReader,
                                           kTextPukCode,
                                           kTextKeyNameCharacters,
                                           kTextLoginPassword,
                                           kTextLoginNote,
                                           kTextSelectKeyLabel,
                                           kTextSelectKeyTitle,
                                           kTextEnterKeyPassword,
                                           kTextKeyFileNotFound,
                                           kTextKeyBlocked,
                                           kTextMinPasswordLength,
                                           kTextWrongPasswordOrFile,
                                           kTextCardNotInitialized,
                                           kTextWrongPukLength,
                                           kTextKeyNameColumn,
                                           kTextDigestColumn,
                                           kTextKeyTypeColumn,
                                           kTextPrivateKey,
                                           kTextPublicKey,
                                           kTextRemove,
                                           kTextClose,
                                           kTextSelectKeysToRemove,
                                           kTextRemoveKeysTitle,
                                           kTextPukTooShort,
                                           kTextKeyPair,
                                           kTextSelectDeviceInfo,
                                           kTextDeviceTypeColumn,
                                           kTextSerialNumberColumn,
                                           kTextAccept,
                                           kTextDeviceInitialization,
                                           kTextInitializeDeviceFirst,
                                           kTextPinPukInformation,
                                           kTextSmartCard,
                                           kTextUsbDevice,
                                           kTextConnectReader,
                                           kTextKeyNotOnCard,
                                           kTextConnectUsbDevice,
                                           kTextKeyNotOnUsbDevice,
                                           kTextEnterCurrentPin,
                                           kTextEnterPuk,
                                           kTextUnblockUsbDevice,
                                           kTextRefresh,
                                           kTextFile,
                                           kTextUsbCryptographicDevice,
                                           kTextKeyGeneration,
                                           kTextPinCodeLabel,
                                           kTextDeviceAlreadyInitialized,
                                           kTextWrongPinLength,
                                           kTextPinTooShort,
                                           kTextRepeatNewPuk,
                                           kTextNewPin,
                                           kTextRepeatNewPin,
                                           kTextPukLetterWarning,
                                           kTextInstallReaderDriver,
                                           kTextInstallTokenDriver,
                                           kTextFileNameNotUsable,
                                           kTextPukLetterIntro,
                                           kTextPukNotWithPolicy};
    return bases;
}

// German slots that hold a single blank.
const std::set<int> kBlankGerman = {510, 616, 619, 622, 625, 628, 631, 634, 637, 693};
// Texts two identifiers apart: the German slot is the Polish text of the next base.
const std::set<int> kGermanIsNextPolish = {658, 660, 662, 664, 666, 668, 670, 672, 674,
                                           676, 678, 680, 682, 684, 686, 688, 699, 701,
                                           703, 709, 711, 713, 715, 717, 719, 730};
// Texts whose German slot does not exist (705 points at the missing 707).
const std::set<int> kNoGerman = {690, 705, 797};

class TextTest : public ::testing::Test {
  protected:
    void SetUp() override { SetLanguageIndex(kLanguagePolish); }
    void TearDown() override { SetLanguageIndex(kLanguagePolish); }

    static std::string In(int language, int id) {
        SetLanguageIndex(language);
        std::string text = LoadText(id);
        SetLanguageIndex(kLanguagePolish);
        return text;
    }
};

TEST_F(TextTest, LooksUpTheLanguageSlotAsWindows1250) {
    EXPECT_EQ(LanguageIndex(), kLanguagePolish);
    EXPECT_EQ(In(kLanguagePolish, kTextWrongPasswordOrFile),
              "Nieprawid\xB3owe has\xB3o lub wskazano niew\xB3\x61\x9C\x63iwy plik z kluczem");
    EXPECT_EQ(In(kLanguageEnglish, kTextWrongPasswordOrFile),
              "Incorrect password or inappropriate file with a key has been indicated.");
    EXPECT_EQ(In(kLanguageGerman, kTextWrongPasswordOrFile),
              "Falsches Passwort oder Falsches Schl\xFCssel Datei");
    EXPECT_EQ(In(kLanguageEnglish, kTextWrongPasswordOrFile), LoadResource(572));
    EXPECT_EQ(In(kLanguageGerman, kTextWrongPasswordOrFile), LoadResource(573));

    EXPECT_EQ(In(kLanguagePolish, kTextIncorrectPin), "Podano z\xB3y PIN");
    EXPECT_EQ(In(kLanguageGerman, kTextIncorrectPin), "Falsche PIN");
    EXPECT_EQ(In(kLanguagePolish, kTextSignOrder), "Podpisz dyspozycj\xEA");
    EXPECT_EQ(In(kLanguageEnglish, kTextCancelButton), "&Cancel");
    EXPECT_EQ(In(kLanguageGerman, kTextSignButton), "&Zeichnen");
    EXPECT_EQ(In(kLanguageEnglish, kTextBankRepository), "Bank`s repository");
    EXPECT_EQ(In(kLanguageEnglish, kTextDeviceTypeColumn), "Device type ");
}

TEST_F(TextTest, LanguageStaysUntilChangedAndIgnoresOutOfRangeIndexes) {
    SetLanguageIndex(kLanguageGerman);
    EXPECT_EQ(LoadText(kTextIncorrectPassword), "Falsches Passwort");
    for (int bad : {3, -1, 4, 100, INT_MIN, INT_MAX}) {
        SetLanguageIndex(bad);
        EXPECT_EQ(LanguageIndex(), kLanguageGerman) << bad;
        EXPECT_EQ(LoadText(kTextIncorrectPassword), "Falsches Passwort") << bad;
    }
    SetLanguageIndex(kLanguageEnglish);
    SetLanguageIndex(3);
    EXPECT_EQ(LoadText(kTextIncorrectPassword), "Incorrect password");
}

TEST_F(TextTest, CaptionIsEmptyInEveryLanguage) {
    for (int language : {kLanguagePolish, kLanguageEnglish, kLanguageGerman})
        EXPECT_EQ(In(language, kTextMessageCaption), "") << language;
}

TEST_F(TextTest, MissingIdentifiersGiveEmptyText) {
    for (int language : {kLanguagePolish, kLanguageEnglish, kLanguageGerman}) {
        for (int id : {3, 199, 219, 1010, 1015, 5000, INT_MAX, INT_MAX - 1, -100, INT_MIN})
            EXPECT_EQ(In(language, id), "") << language << " " << id;
    }
    EXPECT_EQ(LoadResource(0), "");
    EXPECT_EQ(LoadResource(-1), "");
}

TEST_F(TextTest, IncompleteTriplesReturnTheNeighbouringResource) {
    // 707 has no Polish and no English entry; its German slot is the Polish 709.
    EXPECT_EQ(In(kLanguagePolish, 707), "");
    EXPECT_EQ(In(kLanguageEnglish, 707), "");
    EXPECT_EQ(In(kLanguageGerman, 707), LoadResource(709));
    EXPECT_EQ(In(kLanguageGerman, 707), In(kLanguagePolish, kTextDeviceAlreadyInitialized));
    EXPECT_FALSE(In(kLanguageGerman, 707).empty());
    // 709 in German is another message: the Polish 711.
    EXPECT_EQ(In(kLanguageGerman, kTextDeviceAlreadyInitialized), LoadResource(711));
    EXPECT_EQ(In(kLanguageGerman, kTextDeviceAlreadyInitialized),
              In(kLanguagePolish, kTextWrongPinLength));
    // The PIN label before the gap has no German text at all.
    EXPECT_EQ(In(kLanguageGerman, kTextPinCodeLabel), "");
    EXPECT_EQ(In(kLanguageGerman, kTextUnblockUsbDevice), "");
    EXPECT_EQ(In(kLanguageGerman, kTextDigestColumn), " ");
    EXPECT_EQ(In(kLanguageGerman, kTextSmartCard), In(kLanguagePolish, kTextUsbDevice));
}

TEST_F(TextTest, EveryTextHasItsSlotsFilledAsTheTableLaysThemOut) {
    const std::set<int> bases(AllBases().begin(), AllBases().end());
    ASSERT_EQ(bases.size(), AllBases().size()) << "a base is listed twice";
    for (int base : AllBases()) {
        const std::string pl = In(kLanguagePolish, base);
        const std::string en = In(kLanguageEnglish, base);
        const std::string de = In(kLanguageGerman, base);
        EXPECT_FALSE(pl.empty() || pl == " ") << base;
        EXPECT_FALSE(en.empty() || en == " ") << base;
        if (kBlankGerman.count(base)) {
            EXPECT_EQ(de, " ") << base;
        } else if (kGermanIsNextPolish.count(base)) {
            EXPECT_TRUE(bases.count(base + 2)) << base;
            EXPECT_EQ(de, In(kLanguagePolish, base + 2)) << base;
        } else if (kNoGerman.count(base)) {
            EXPECT_EQ(de, "") << base;
        } else {
            EXPECT_FALSE(de.empty() || de == " ") << base;
            // A full triple must not run into the next text.
            EXPECT_FALSE(bases.count(base + 1) || bases.count(base + 2)) << base;
        }
    }
}

TEST_F(TextTest, TableHoldsExactlyTheSlotsOfTheListedTexts) {
    std::set<int> expected = {kTextControlTypeName, kTextPropPageTypeName};
    for (int base : AllBases()) {
        expected.insert(base);
        expected.insert(base + 1);
        if (!kGermanIsNextPolish.count(base) && !kNoGerman.count(base)) expected.insert(base + 2);
    }
    std::vector<int> ids;
    for (const StringResource& r : StringTable()) ids.push_back(r.id);
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "duplicate identifier";
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()), expected);
    ASSERT_FALSE(ids.empty());
    EXPECT_GE(ids.front(), 1);
    EXPECT_LE(ids.back(), 1014);
    EXPECT_LE(ids.size(), 682u);
    for (int gap : {228, 229, 230, 692, 707, 708, 799}) EXPECT_EQ(LoadResource(gap), "") << gap;
    EXPECT_EQ(LoadResource(kTextControlTypeName), "Veriquill Control");
    EXPECT_EQ(LoadResource(kTextPropPageTypeName), "Veriquill Property Page");
}

TEST_F(TextTest, EveryTextSurvivesTheWindows1250Conversion) {
    for (const StringResource& r : StringTable()) {
        const std::string bytes = LoadResource(r.id);
        EXPECT_FALSE(bytes.empty()) << r.id;
        // A character outside the code page would have come back as '?'.
        EXPECT_EQ(cp::ToUtf8(bytes, "CP1250"), r.utf8) << r.id;
    }
}

// The PIN, PUK and password-length texts go through a printf-style formatter and the PUK letter
// relies on the line breaks around its middle line: every language must agree on both.
TEST_F(TextTest, TranslationsKeepPlaceholdersAndLineBreaks) {
    const std::regex conversion("%[-+ #0-9.]*[a-zA-Z%]");
    auto conversions = [&](const std::string& s) {
        std::vector<std::string> out;
        for (auto it = std::sregex_iterator(s.begin(), s.end(), conversion);
             it != std::sregex_iterator(); ++it)
            out.push_back(it->str());
        return out;
    };
    for (int base : AllBases()) {
        const std::string en = In(kLanguageEnglish, base);
        EXPECT_EQ(conversions(In(kLanguagePolish, base)), conversions(en)) << base;
        if (!kGermanIsNextPolish.count(base) && !kNoGerman.count(base) &&
            !kBlankGerman.count(base)) {
            EXPECT_EQ(conversions(In(kLanguageGerman, base)), conversions(en)) << base;
        }
    }
    EXPECT_EQ(conversions(In(kLanguageEnglish, kTextPukCode)), std::vector<std::string>{"%s"});
    EXPECT_EQ(conversions(In(kLanguageEnglish, kTextMinPasswordLength)),
              std::vector<std::string>{"%d"});

    for (int language : {kLanguagePolish, kLanguageEnglish}) {
        const std::string intro = In(language, kTextPukLetterIntro);
        EXPECT_TRUE(intro.ends_with(".\n\n")) << language;
        EXPECT_TRUE(In(language, kTextPukLetterWarning).starts_with("\n\n")) << language;
        EXPECT_EQ(std::count(intro.begin(), intro.end(), '\n'), 2) << language;
        const std::string info = In(language, kTextPinPukInformation);
        EXPECT_EQ(std::count(info.begin(), info.end(), '\n'), 4) << language;
        const std::string note = In(language, kTextDeviceAlreadyInitialized);
        EXPECT_EQ(std::count(note.begin(), note.end(), '\n'), 1) << language;
    }
    EXPECT_TRUE(In(kLanguageGerman, kTextPukLetterWarning).starts_with("\n\n"));
}

}  // namespace
}  // namespace vq
