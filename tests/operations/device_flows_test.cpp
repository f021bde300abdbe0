// Device management scenarios on a SoftHSM2 token behind the test PKCS#11 module: every state the
// flows decide on (PIN and PUK locked or free, before the dialog and after a failed login), the
// successful paths checked on the device afterwards, and the key lists the page receives.
#include "operations/device_flows.h"

#include <gtest/gtest.h>

#include <sstream>

#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "tests/operations/device_test_support.h"

namespace vq {
namespace {

using testing::DeviceMachine;
using testing::RecordingUi;
using testing::ScriptedFlowUi;
using testing::UseUi;

constexpr const char* kPin = testing::kUserPin;
constexpr const char* kPuk = testing::kSoPin;
constexpr const char* kPinLockedRv = "0xA4";  // CKR_PIN_LOCKED

class Flows : public ::testing::Test {
  protected:
    void SetUp() override {
        SetLanguageIndex(kLanguageEnglish);
        print1 = machine.Generate("one");
        print2 = machine.Generate("two");
        ASSERT_EQ(keys.SetKey("id-1", "6F6E65", print1.c_str(), kind::kSmartCard), 0);
        ASSERT_EQ(keys.SetKey("id-2", "74776F", print2.c_str(), kind::kUsbToken), 0);
    }
    void TearDown() override { SetLanguageIndex(kLanguagePolish); }

    DeviceFlows flows() { return DeviceFlows(psa, keys, dialogs); }
    // Key lists follow the device's object order: compare them sorted.
    static std::string Sorted(const std::optional<std::string>& list) {
        if (!list) return "none";
        std::vector<std::string> ids;
        std::stringstream in(*list);
        for (std::string id; std::getline(in, id, '|');) ids.push_back(id);
        std::sort(ids.begin(), ids.end());
        std::string out;
        for (const auto& id : ids) out += (out.empty() ? "" : "|") + id;
        return out;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> t;
        for (const auto& b : ui.boxes) t.push_back(b.text);
        return t;
    }
    void PinDialogAnswers(const std::string& first, const std::string& second) {
        dialogs.pinDialog.push_back({ui::kIdOk, first, second});
    }

    DeviceMachine machine;
    RecordingUi ui;
    UseUi useUi{ui};
    ScriptedFlowUi dialogs;
    CKeysStorage keys;
    CPSA psa;
    std::string print1, print2;
};

// --- change PIN ---

TEST_F(Flows, ChangePinSetsTheNewPin) {
    PinDialogAnswers(kPin, "9999");
    const OpResult r = flows().ChangePin();
    EXPECT_EQ(r.code, code::kOk);
    EXPECT_FALSE(r.keyList);
    ASSERT_EQ(dialogs.pinModes.size(), 1u);
    EXPECT_EQ(dialogs.pinModes[0], std::make_pair(IDeviceFlowUi::kChangePin, false));
    EXPECT_EQ(machine.LoginUser("9999"), code::kOk);
    EXPECT_EQ(machine.LoginUser(kPin), code::kWrongPin);
    // The device is closed and the module unloaded afterwards.
    EXPECT_EQ(psa.session(), 0u);
    EXPECT_FALSE(psa.loaded());
}

TEST_F(Flows, ChangePinStopsBeforeTheDialogOnLockedOrUninitialisedDevices) {
    struct Case {
        const char* options;
        int code;
        bool list;
    };
    const Case cases[] = {
        {"pinleft=0", code::kPinLocked, false},
        {"pinleft=0|pukleft=0", code::kPinAndPukLocked, true},
        {"clearflags=0x8", code::kNotInitialised, false},    // CKF_USER_PIN_INITIALIZED
        {"clearflags=0x400", code::kNotInitialised, false},  // CKF_TOKEN_INITIALIZED
    };
    for (const Case& c : cases) {
        machine.Configure(c.options);
        const OpResult r = flows().ChangePin();
        EXPECT_EQ(r.code, c.code) << c.options;
        EXPECT_EQ(r.keyList.has_value(), c.list) << c.options;
        if (c.list) {
            EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
        }
    }
    EXPECT_TRUE(dialogs.pinModes.empty());
}

TEST_F(Flows, ChangePinAfterAFailedLoginDecidesByTheStateReadAgain) {
    struct Case {
        const char* options;
        const char* inject;  // C_Login answer instead of a wrong PIN
        int code;
    };
    const Case cases[] = {
        {"", nullptr, code::kWrongPin},                            // both free
        {"pinleft=1", nullptr, code::kWrongPin},                   // PIN now locked, PUK free
        {"pukleft=0", nullptr, code::kWrongPin},                   // PUK locked, PIN free
        {"pukleft=0|pinleft=1", nullptr, code::kPinAndPukLocked},  // both locked now
        {"pukleft=0", kPinLockedRv, code::kPinAndPukLocked},       // 64 with the PUK locked
        {"", kPinLockedRv, code::kPinLocked},                      // 64 with the PUK free
    };
    for (const Case& c : cases) {
        machine.Configure(c.options,
                          c.inject ? std::string("fail C_Login ") + c.inject + "\n" : "");
        PinDialogAnswers("0000", "9999");
        const OpResult r = flows().ChangePin();
        EXPECT_EQ(r.code, c.code) << c.options << " " << (c.inject ? c.inject : "");
        if (c.code == code::kPinAndPukLocked) {
            EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
        } else {
            EXPECT_FALSE(r.keyList);
        }
    }
}

TEST_F(Flows, ChangePinCancelledOrRefusedByTheDevice) {
    dialogs.pinDialog.push_back({ui::kIdCancel, kPin, "9999"});
    EXPECT_EQ(flows().ChangePin().code, code::kCancelled);
    // A new PIN the device layer refuses by length.
    PinDialogAnswers(kPin, "12");
    EXPECT_EQ(flows().ChangePin().code, code::kPinNotAcceptable);
    EXPECT_EQ(machine.LoginUser(kPin), code::kOk);
}

// --- change PUK ---

TEST_F(Flows, ChangePukSetsTheNewPuk) {
    PinDialogAnswers(kPuk, "11223344");
    EXPECT_EQ(flows().ChangePuk().code, code::kOk);
    EXPECT_EQ(dialogs.pinModes.at(0).first, IDeviceFlowUi::kChangePuk);
    EXPECT_EQ(machine.LoginSO("11223344"), code::kOk);
}

TEST_F(Flows, ChangePukDecisions) {
    struct Case {
        const char* options;
        bool dialog;  // the dialog is answered with a wrong PUK
        int code;
    };
    const Case cases[] = {
        {"pukleft=0", false, code::kPukLocked},
        {"pukleft=0|pinleft=0", false, code::kPinAndPukLocked},
        {"clearflags=0x8", false, code::kNotInitialised},
        {"", true, code::kWrongPuk},                            // both free afterwards
        {"pinleft=0", true, code::kWrongPuk},                   // PIN locked, PUK still free
        {"pukleft=1", true, code::kWrongPuk},                   // PUK locked now, PIN free
        {"pukleft=1|pinleft=0", true, code::kPinAndPukLocked},  // both locked now
    };
    for (const Case& c : cases) {
        machine.Configure(c.options);
        dialogs.pinModes.clear();
        if (c.dialog) PinDialogAnswers("00000000", "11223344");
        const OpResult r = flows().ChangePuk();
        EXPECT_EQ(r.code, c.code) << c.options;
        EXPECT_EQ(dialogs.pinModes.size(), c.dialog ? 1u : 0u) << c.options;
        EXPECT_EQ(r.keyList.has_value(), c.code == code::kPinAndPukLocked) << c.options;
    }
}

// --- unblock ---

TEST_F(Flows, UnblockSetsANewPinWithThePuk) {
    machine.Configure("pinleft=0");
    PinDialogAnswers(kPuk, "5678");
    EXPECT_EQ(flows().Unblock().code, code::kOk);
    EXPECT_EQ(dialogs.pinModes.at(0), std::make_pair(IDeviceFlowUi::kUnblockCard, false));
    EXPECT_EQ(machine.LoginUser("5678"), code::kOk);
}

TEST_F(Flows, UnblockDecisions) {
    struct Case {
        const char* options;
        const char* inject;
        bool dialog;
        int code;
    };
    const Case cases[] = {
        {"pinleft=0|pukleft=0", nullptr, false, code::kPinAndPukLocked},
        {"clearflags=0x400", nullptr, false, code::kNotInitialised},
        {"pinleft=0", nullptr, true, code::kWrongPuk},                   // PUK still free: its code
        {"pinleft=0|pukleft=1", nullptr, true, code::kPinAndPukLocked},  // PUK locked now
        {"pukleft=1", nullptr, true, code::kPukLocked},                  // PIN free, PUK locked now
        {"", kPinLockedRv, true, code::kPukLocked},                      // the module says locked
        {"", nullptr, true, code::kWrongPuk},
    };
    for (const Case& c : cases) {
        machine.Configure(c.options,
                          c.inject ? std::string("fail C_Login ") + c.inject + "\n" : "");
        dialogs.pinModes.clear();
        if (c.dialog) PinDialogAnswers("00000000", "5678");
        const OpResult r = flows().Unblock();
        EXPECT_EQ(r.code, c.code) << c.options;
        EXPECT_EQ(dialogs.pinModes.size(), c.dialog ? 1u : 0u) << c.options;
        if (c.code == code::kPinAndPukLocked) {
            EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
        }
    }
}

TEST(FlowsOnToken, UnblockUsesTheTokenModeAndChangePinTellsTheDialogItIsAToken) {
    DeviceMachine machine(testing::kTokenReader);
    RecordingUi ui;
    UseUi useUi(ui);
    ScriptedFlowUi dialogs;
    CKeysStorage keys;
    CPSA psa;
    dialogs.pinDialog.push_back({ui::kIdCancel, "", ""});
    EXPECT_EQ(DeviceFlows(psa, keys, dialogs).Unblock().code, code::kCancelled);
    dialogs.pinDialog.push_back({ui::kIdCancel, "", ""});
    EXPECT_EQ(DeviceFlows(psa, keys, dialogs).ChangePin().code, code::kCancelled);
    ASSERT_EQ(dialogs.pinModes.size(), 2u);
    EXPECT_EQ(dialogs.pinModes[0], std::make_pair(IDeviceFlowUi::kUnblockToken, true));
    EXPECT_EQ(dialogs.pinModes[1], std::make_pair(IDeviceFlowUi::kChangePin, true));
}

// --- initialise ---

TEST_F(Flows, InitialiseAnsweredNoReturnsTheKeysItWouldHaveErased) {
    ui.answers.push_back(ui::kIdNo);
    const OpResult r = flows().Initialise();
    EXPECT_EQ(r.code, code::kCancelled);
    EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text, LoadText(kTextDeviceAlreadyInitialized));
    EXPECT_EQ(ui.boxes[0].caption, "");
    EXPECT_EQ(ui.boxes[0].icon, ui::Icon::kWarning);
    EXPECT_EQ(ui.boxes[0].buttons, ui::Buttons::kYesNo);
    EXPECT_EQ(dialogs.initRuns, 0);
    EXPECT_NE(machine.KeyList(), "ProtectorCard|");
}

TEST_F(Flows, InitialiseErasesTheKeysAndSetsPukAndPin) {
    ui.answers.push_back(ui::kIdYes);
    // SoftHSM2 re-initialises a token only with its current security-officer PIN.
    dialogs.initDialog.push_back({ui::kIdOk, kPuk, "5678"});
    const OpResult r = flows().Initialise();
    EXPECT_EQ(r.code, code::kOk);
    EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
    EXPECT_EQ(machine.KeyList(), "ProtectorCard|");
    EXPECT_EQ(machine.LoginUser("5678"), code::kOk);
    EXPECT_EQ(machine.LoginSO(kPuk), code::kOk);
    EXPECT_EQ(ui.boxes.size(), 1u);  // the warning only
}

TEST_F(Flows, InitialiseOfAnUninitialisedDeviceAsksNothingFirst) {
    machine.Configure("clearflags=0x408");
    dialogs.initDialog.push_back({ui::kIdCancel, "", ""});
    const OpResult r = flows().Initialise();
    EXPECT_EQ(r.code, code::kCancelled);
    EXPECT_TRUE(ui.boxes.empty());
    EXPECT_EQ(dialogs.initRuns, 1);
    EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
}

TEST_F(Flows, InitialiseShowsWhichStepFailed) {
    struct Case {
        const char* fail;
        int text;
    };
    const Case cases[] = {
        {"fail C_InitToken 0xA0\n", kTextPukNotWithPolicy},  // CKR_PIN_INCORRECT
        {"fail C_Login 0xA0\n", kTextInvalidPin},
        {"fail C_InitPIN 0xA1\n", kTextInvalidNewPin},  // CKR_PIN_INVALID
    };
    for (const Case& c : cases) {
        machine.Configure("clearflags=0x408", c.fail);
        ui.boxes.clear();
        dialogs.initDialog.push_back({ui::kIdOk, kPuk, kPin});
        const OpResult r = flows().Initialise();
        EXPECT_NE(r.code, code::kOk) << c.fail;
        ASSERT_EQ(ui.boxes.size(), 1u) << c.fail;
        EXPECT_EQ(ui.boxes[0].text, LoadText(c.text)) << c.fail;
        EXPECT_EQ(ui.boxes[0].icon, ui::Icon::kError);
        EXPECT_TRUE(r.keyList) << c.fail;
    }
}

TEST_F(Flows, FlowsReportTheDeviceLayerCodeWhenNoDeviceIsThere) {
    machine.Configure("absent");
    EXPECT_EQ(flows().Initialise().code, code::kNoCard);
    EXPECT_FALSE(flows().Initialise().keyList);
    EXPECT_EQ(flows().ChangePin().code, code::kNoCard);
    EXPECT_EQ(flows().RemoveKeys(DeviceKind::UsbToken).code, code::kNoToken);
    EXPECT_TRUE(dialogs.pinModes.empty());
}

// --- remove keys ---

TEST_F(Flows, RemoveKeysReportsTheEntriesOfTheRemovedKeys) {
    dialogs.prompts.push_back({ui::kIdOk, kPin, ""});
    dialogs.remove = {print2};
    const OpResult r = flows().RemoveKeys(DeviceKind::Any);
    EXPECT_EQ(r.code, code::kOk);
    EXPECT_EQ(r.keyList.value_or("none"), "id-2");
    EXPECT_EQ(machine.KeyList(), "ProtectorCard|\"" + print1 + "\"");
}

TEST_F(Flows, RemovedFingerprintsMatchOnTheirFirstTwentyCharacters) {
    const std::string near = print1.substr(0, 20) + std::string(20, 'F');
    ASSERT_EQ(keys.SetKey("id-near", "6E", near.c_str(), kind::kUsbToken), 0);
    ASSERT_EQ(keys.SetKey("id-short", "73", print1.substr(0, 19).c_str(), kind::kSmartCard), 0);
    dialogs.prompts.push_back({ui::kIdOk, kPin, ""});
    dialogs.remove = {print1};
    const OpResult r = flows().RemoveKeys(DeviceKind::SmartCard);
    EXPECT_EQ(r.code, code::kOk);
    EXPECT_EQ(r.keyList.value_or("none"), "id-1|id-near");
}

TEST_F(Flows, RemoveKeysAsksAgainAfterAWrongOrShortPin) {
    dialogs.prompts = {{ui::kIdOk, "0000", ""}, {ui::kIdOk, "12", ""}, {ui::kIdOk, kPin, ""}};
    const OpResult r = flows().RemoveKeys(DeviceKind::Any);
    EXPECT_EQ(r.code, code::kOk);
    EXPECT_EQ(dialogs.promptRuns, 3);
    EXPECT_EQ(Texts(), std::vector<std::string>{LoadText(kTextIncorrectPin)});
    EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
    EXPECT_EQ(machine.KeyList(), "ProtectorCard|");
}

TEST_F(Flows, RemoveKeysEndings) {
    // Cancelled at the PIN prompt: the prompt's own result.
    EXPECT_EQ(flows().RemoveKeys(DeviceKind::Any).code, ui::kIdCancel);
    // Cancelled in the key choice.
    dialogs.prompts.push_back({ui::kIdOk, kPin, ""});
    dialogs.removalOk = false;
    OpResult r = flows().RemoveKeys(DeviceKind::Any);
    EXPECT_EQ(r.code, code::kCancelled);
    EXPECT_FALSE(r.keyList);
    // Locked and uninitialised devices stop before the prompt.
    machine.Configure("pinleft=0|pukleft=0");
    r = flows().RemoveKeys(DeviceKind::Any);
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
    machine.Configure("clearflags=0x8");
    EXPECT_EQ(flows().RemoveKeys(DeviceKind::Any).code, code::kNotInitialised);
    EXPECT_EQ(dialogs.promptRuns, 2);
    // A PIN-locked device with a free PUK lets the prompt run; the login reports the lock.
    machine.Configure("pinleft=0");
    dialogs.prompts.push_back({ui::kIdOk, kPin, ""});
    EXPECT_EQ(flows().RemoveKeys(DeviceKind::Any).code, code::kPinLocked);
    // A card-only removal on a machine with only a card reader finds no USB token.
    EXPECT_EQ(flows().RemoveKeys(DeviceKind::UsbToken).code, code::kNoToken);
}

TEST_F(Flows, RemoveKeysThatLockTheDeviceForGoodReportItsKeyList) {
    machine.Configure("pukleft=0|pinleft=1");
    dialogs.prompts = {{ui::kIdOk, "0000", ""}, {ui::kIdOk, kPin, ""}};
    const OpResult r = flows().RemoveKeys(DeviceKind::Any);
    EXPECT_EQ(r.code, code::kPinAndPukLocked);
    EXPECT_EQ(Sorted(r.keyList), "id-1|id-2");
    EXPECT_EQ(Texts(), std::vector<std::string>{LoadText(kTextIncorrectPin)});
}

// --- key lists ---

TEST(KeyLists, RemovedKeyListStopsAtAWholeIdentifierWithin1023Characters) {
    CKeysStorage keys;
    const std::string print(40, 'A');
    // 100-character identifiers: ten fit (10 * 100 + 9 bars = 1009), the eleventh does not.
    for (int i = 0; i < 12; ++i) {
        std::string id = std::string(98, 'k') + (i < 10 ? "0" : "") + std::to_string(i);
        ASSERT_EQ(keys.SetKey(id.c_str(), "6B", print.c_str(), kind::kSmartCard), 0);
    }
    const std::string list = MapRemovedKeys(keys, "|" + print);
    EXPECT_EQ(list.size(), 1009u);
    EXPECT_EQ(list.substr(list.size() - 3), "k09");
    EXPECT_EQ(MapDeviceKeyList(keys, "ProtectorCard|\"" + print + "\""), list);
}

TEST(KeyLists, RemovedKeyListFollowsTheRemovedOrderAndSkipsOtherKinds) {
    CKeysStorage keys;
    const std::string a(40, 'A'), b(40, 'B');
    ASSERT_EQ(keys.SetKey("a-card", "61", a.c_str(), kind::kSmartCard), 0);
    ASSERT_EQ(keys.SetKey("b-token", "62", b.c_str(), kind::kUsbToken), 0);
    ASSERT_EQ(keys.SetKey("b-any", "63", b.c_str(), kind::kAnyDevice), 0);
    ASSERT_EQ(keys.SetKey("b-file", "64", b.c_str(), kind::kFile), 0);
    EXPECT_EQ(MapRemovedKeys(keys, "|" + b + "|" + a), "b-token|b-any|a-card");
    EXPECT_EQ(MapRemovedKeys(keys, ""), "");
    EXPECT_EQ(MapRemovedKeys(keys, "|"), "");
}

}  // namespace
}  // namespace vq
