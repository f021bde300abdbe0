// The device choice and key removal dialogs with a scripted user, alone and inside the device
// layer's enumeration and removal over the fake PC/SC library and SoftHSM2.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "devices/psa.h"
#include "dialogs/devices/remove_dlg.h"
#include "dialogs/devices/select_reader_dlg.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "tests/devices/scripted_fixture.h"
#include "tests/dialogs/qt_app.h"
#include "tests/fakes/test_env.h"

namespace vq {
namespace {

using testing::Utf8Text;

constexpr const char* kCardAtr = "3B8F8001804F0CA000000306030001000000006A";
constexpr const char* kTokenAtr = "3BDB960080B1FE451F830031C0641F1801000790005F";

class ChoiceDialogs : public testing::ScriptedUiTest {
  protected:
    static DeviceEntries Three() {
        DeviceEntries e(3);
        for (std::size_t i = 0; i < e.size(); ++i) {
            e[i].reader = "Reader " + std::to_string(i);
            e[i].serial = "SERIAL000000000" + std::to_string(i);
            e[i].moduleKind = kModulePkcs11;
        }
        return e;
    }
    static std::string Rows(const std::string& type, int n) {
        std::string rows = "\"rows\":[";
        for (int i = 0; i < n; ++i)
            rows += std::string(i ? "," : "") + "[" + ui::JsonQuote(type) + ",\"SERIAL000000000" +
                    std::to_string(i) + "\"]";
        return rows + "]";
    }
    CPSA psa;
};

TEST_F(ChoiceDialogs, RowsNameTheSearchedKindAndTheFirstRowIsChosen) {
    SetLanguageIndex(kLanguageEnglish);
    Script("dialog 421\ndump\nclick 1\ndump\nclick 1\ndump\nselect 203 2\nclick 1\n");
    DeviceEntries entries = Three();
    for (DeviceKind kind : {DeviceKind::UsbToken, DeviceKind::SmartCard, DeviceKind::Any}) {
        CSelectReaderDlg dialog;
        const int row = dialog.ChooseDevice(psa, kind, entries);
        EXPECT_EQ(row, kind == DeviceKind::Any ? 2 : 0) << DeviceKindNumber(kind);
    }
    ExpectScriptDone();
    const std::string usb = Utf8Text(kTextUsbDevice);
    const std::string card = Utf8Text(kTextSmartCard);
    const int first = Find({"\"event\":\"dump\"", Rows(usb, 3), "\"selected\":[0]"});
    EXPECT_GE(first, 0);
    const int second = Find({"\"event\":\"dump\"", Rows(card, 3), "\"selected\":[0]"}, first + 1);
    EXPECT_GT(second, first);
    EXPECT_GT(Find({"\"event\":\"dump\"", Rows(card, 3)}, second + 1), second);
    // Texts of the opened dialog, the refresh button among its controls.
    EXPECT_GE(Find({"\"event\":\"dialog-open\",\"id\":421",
                    ui::JsonLine().Str("title", Utf8Text(kTextSelectReader)).Fields()}),
              0);
    EXPECT_GE(
        Find({"\"event\":\"dump\"",
              "{\"id\":692,\"kind\":\"button\",\"text\":" + ui::JsonQuote(Utf8Text(kTextRefresh)),
              "\"text\":" + ui::JsonQuote(Utf8Text(kTextAccept)),
              "\"columns\":[" + ui::JsonQuote(Utf8Text(kTextDeviceTypeColumn)) + "," +
                  ui::JsonQuote(Utf8Text(kTextSerialNumberColumn)) + "]"}),
        0);
}

TEST_F(ChoiceDialogs, OkOnAnEmptyListAsksForAReaderAndCancelGivesNoRow) {
    Script("click 1\nmessage ok\ndump\nclick 2\n");
    DeviceEntries entries;
    CSelectReaderDlg dialog;
    EXPECT_EQ(dialog.ChooseDevice(psa, DeviceKind::Any, entries), -1);
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextSelectReader)}), 0);
    // The dialog stayed open after the message.
    EXPECT_GT(Find({"\"event\":\"dump\"", "\"rows\":[]"}), Find({"\"event\":\"message\""}));
}

TEST_F(ChoiceDialogs, TheFlowsChoiceOpensTheDialogForEachChoice) {
    // A chosen row, the preselected first row, and a cancel: one dialog each.
    Script("dialog 421\nselect 203 1\nclick 1\ndialog 421\nclick 1\ndialog 421\nclick 2\n");
    DeviceEntries entries = Three();
    CDeviceChoice choice;
    EXPECT_EQ(choice.ChooseDevice(psa, DeviceKind::Any, entries), 1);
    EXPECT_EQ(choice.ChooseDevice(psa, DeviceKind::Any, entries), 0);
    EXPECT_EQ(choice.ChooseDevice(psa, DeviceKind::Any, entries), -1);
    ExpectScriptDone();
}

// Two devices behind the fakes; the user unplugs the first while the choice is shown.
class ChoiceOverDevices : public ChoiceDialogs {
  protected:
    void SetUp() override {
        ChoiceDialogs::SetUp();
        env.UseFakes();
        env.InitToken("token-a");
        env.InitToken("card-b");
        env.Write("pcsc.conf", std::string("reader Feitian ePass Key 00|") + kTokenAtr +
                                   "\nreader Gemalto PC Twin Reader 01|" + kCardAtr + "\n");
        env.Write("p11.conf", std::string("backend ") + testing::kSoftHsm +
                                  "\nslot Feitian ePass Key 00|token=token-a\n"
                                  "slot Gemalto PC Twin Reader 01|token=card-b\n");
    }
    void TearDown() override {
        psa.CloseSession();
        psa.UnloadModule();
        ChoiceDialogs::TearDown();
    }
    testing::DeviceEnv env;
};

class UnplugFirst : public IDeviceChooser {
  public:
    explicit UnplugFirst(const testing::DeviceEnv& env) : env_(env) {}
    int ChooseDevice(CPSA& psa, DeviceKind kind, DeviceEntries& entries) override {
        env_.Write("pcsc.conf", std::string("reader Gemalto PC Twin Reader 01|") + kCardAtr + "\n");
        CSelectReaderDlg dialog;
        return dialog.ChooseDevice(psa, kind, entries);
    }

  private:
    const testing::DeviceEnv& env_;
};

TEST_F(ChoiceOverDevices, RefreshDropsTheUnpluggedDeviceAndTheChoiceOpensTheRemainingOne) {
    Script("dump\nclick 692\ndump\nclick 1\n");
    UnplugFirst chooser(env);
    psa.SetDeviceChooser(&chooser);
    CK_SLOT_ID slot = 99;
    ASSERT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kOk);
    EXPECT_EQ(slot, 1u);
    EXPECT_EQ(psa.tokenFlag(), 0);
    EXPECT_NE(psa.session(), 0u);
    ExpectScriptDone();
    const int before = Find({"\"event\":\"dump\""});
    const int after = Find({"\"event\":\"dump\""}, before + 1);
    ASSERT_GT(after, before);
    // Rows read "SmartCard" for any device; count them in each dump.
    const std::string row = "[" + ui::JsonQuote(Utf8Text(kTextSmartCard)) + ",";
    const auto rowsIn = [&](int at) {
        const std::string line = Lines()[static_cast<std::size_t>(at)];
        int n = 0;
        for (auto p = line.find(row); p != std::string::npos; p = line.find(row, p + 1)) ++n;
        return n;
    };
    EXPECT_EQ(rowsIn(before), 2);
    EXPECT_EQ(rowsIn(after), 1);
    EXPECT_NE(Lines()[static_cast<std::size_t>(after)].find("\"selected\":[0]"), std::string::npos);
}

TEST_F(ChoiceOverDevices, CancelEndsTheSelectionWithEight) {
    Script("click 2\n");
    CSelectReaderDlg dialog;
    psa.SetDeviceChooser(&dialog);
    CK_SLOT_ID slot = 0;
    EXPECT_EQ(psa.SelectDevice(DeviceKind::Any, &slot), code::kCancelled);
    EXPECT_EQ(psa.session(), 0u);
    ExpectScriptDone();
}

class RemoveDialog : public testing::ScriptedUiTest {};

TEST_F(RemoveDialog, PairsMakeOneRowInFingerprintOrderAndChosenRowsMarkBothHalves) {
    SetLanguageIndex(kLanguageEnglish);
    Script("dialog 423\ndump\nclick 1\nmessage ok\nselect 203 0,2\nclick 1\n");
    CRemoveDlg dialog;
    dialog.AddKey("zeta-pub", "CC", false, 11);  // 0
    dialog.AddKey("alpha", "AA", true, 12);      // 1
    dialog.AddKey("beta-pub", "BB", false, 13);  // 2
    dialog.AddKey("zeta", "CC", true, 14);       // 3
    ASSERT_TRUE(dialog.Run());
    ExpectScriptDone();
    const std::string rows = "\"rows\":[[\"alpha\",\"AA\"," +
                             ui::JsonQuote(Utf8Text(kTextPrivateKey)) + "],[\"beta-pub\",\"BB\"," +
                             ui::JsonQuote(Utf8Text(kTextPublicKey)) + "],[\"zeta\",\"CC\"," +
                             ui::JsonQuote(Utf8Text(kTextKeyPair)) + "]]";
    EXPECT_GE(Find({"\"event\":\"dump\"", rows}), 0);
    EXPECT_GE(Find({"\"event\":\"message\"", ErrorBox(kTextSelectKeysToRemove)}), 0);
    EXPECT_TRUE(dialog.chosen(0));
    EXPECT_TRUE(dialog.chosen(1));
    EXPECT_FALSE(dialog.chosen(2));
    EXPECT_TRUE(dialog.chosen(3));
    EXPECT_EQ(dialog.handle(3), 14u);
    EXPECT_EQ(dialog.fingerprint(0), "CC");
}

TEST_F(RemoveDialog, MoreThanTwentyObjectsKeepsTheFirstTwentyAndCancelMarksNothing) {
    Script("select 203 0\nclick 2\n");
    CRemoveDlg dialog;
    for (int i = 0; i < 25; ++i) {
        char print[8];
        std::snprintf(print, sizeof print, "F%02d", i);
        dialog.AddKey("k", print, false, static_cast<CK_OBJECT_HANDLE>(100 + i));
    }
    EXPECT_EQ(dialog.objectCount(), IKeyRemovalChooser::kMaxObjects - 1);
    EXPECT_EQ(dialog.pairs().size(), 20u);
    EXPECT_EQ(dialog.pairs().count("F20"), 0u);
    EXPECT_FALSE(dialog.Run());
    ExpectScriptDone();
    for (int i = 0; i < 25; ++i) EXPECT_FALSE(dialog.chosen(i)) << i;
    EXPECT_EQ(dialog.handle(20), CK_INVALID_HANDLE);
    EXPECT_EQ(dialog.fingerprint(-1), "");
}

TEST_F(RemoveDialog, RemovingAPairFromSoftHsmDestroysBothObjectsAndReportsItOnce) {
    testing::DeviceEnv env;
    env.MapLibrary("pkcs11.dll", testing::kSoftHsm);
    int status = 0;
    const std::string out =
        testing::RunCommand(std::string("softhsm2-util --init-token --free --label rm --pin ") +
                                testing::kUserPin + " --so-pin " + testing::kSoPin,
                            &status);
    ASSERT_EQ(status, 0) << out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex("slot ([0-9]+)"))) << out;
    CPSA psa;
    ASSERT_EQ(psa.OpenDevice("pkcs11.dll", std::stoul(m[1]), nullptr), code::kOk);
    const SecureString pin(testing::kUserPin);
    ASSERT_EQ(psa.LoginUser(&pin), code::kOk);
    std::string blob, one, two;
    ASSERT_EQ(psa.GenerateDeviceKeyPair("one", 1024, blob, one), code::kOk);
    ASSERT_EQ(psa.GenerateDeviceKeyPair("two", 1024, blob, two), code::kOk);
    // The row of key "one" sits where its fingerprint sorts.
    const int row = one < two ? 0 : 1;
    Script("dump\nselect 203 " + std::to_string(row) + "\nclick 1\n");
    CRemoveDlg dialog;
    std::string removed;
    ASSERT_EQ(psa.RemoveDeviceKeys(dialog, removed), code::kOk);
    EXPECT_EQ(removed, "|" + one);
    std::string keys;
    ASSERT_EQ(psa.ListKeys(keys), code::kOk);
    EXPECT_EQ(keys, "ProtectorCard|\"" + two + "\"");
    ExpectScriptDone();
    EXPECT_GE(Find({"\"event\":\"dump\"", "[\"one\",\"" + one + "\"", "[\"two\",\"" + two + "\""}),
              0);
    psa.CloseSession();
    psa.UnloadModule();
}

}  // namespace
}  // namespace vq
