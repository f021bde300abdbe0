// The key generation flow with a recording window on a SoftHSM2 token behind the test PKCS#11
// module: the order of what the window is told (messages, PIN prompt, progress, close), every
// outcome the flow decides on, and the outputs the component turns into the method's result.
#include "operations/key_generation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>

#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "storage/key_storage.h"
#include "tests/operations/device_test_support.h"

namespace vq {
namespace {

using testing::DeviceMachine;
using Events = std::vector<std::string>;

// Records what the flow tells it as short lines; PIN prompts are answered from a queue (none
// left: cancelled).
class RecordingView final : public IKeyGenerationView {
  public:
    std::vector<std::string> events;
    std::deque<std::string> pins;
    bool closed = false;

    void ShowMessage(int textId, ui::Icon icon, int captionId) override {
        events.push_back("message " + std::to_string(textId) +
                         (icon == ui::Icon::kError ? " error" : " plain") +
                         (captionId ? " caption " + std::to_string(captionId) : ""));
    }
    bool AskPin(const std::string& keyName, SecureString& pin) override {
        events.push_back("pin " + keyName);
        if (pins.empty()) return false;
        pin.assign(pins.front());
        pins.pop_front();
        return true;
    }
    void SetGenerating(bool generating) override {
        events.push_back(generating ? "start" : "stop");
    }
    void Close() override {
        events.push_back("close");
        closed = true;
    }
};

class KeyGeneration : public ::testing::Test {
  protected:
    void SetUp() override { SetLanguageIndex(kLanguageEnglish); }
    void TearDown() override { SetLanguageIndex(kLanguagePolish); }

    // Generate, then the window's timer until the flow has its outcome.
    void Press(int location, const std::optional<std::string>& name) {
        flow.Generate(view, location, name);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (flow.Running() && !flow.Poll(view)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the worker never finished";
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    void PressCard(const std::string& name) { Press(keygen::kLocationSmartCard, name); }
    static std::string Message(int text) { return "message " + std::to_string(text) + " error"; }

    DeviceMachine machine;
    CKeysStorage keys;
    CPSA psa;
    KeyGenerationFlow flow{psa, keys};
    RecordingView view;
};

TEST_F(KeyGeneration, ParametersNeedABarAndANumber) {
    EXPECT_EQ(flow.SetUp("|8|"), code::kOk);
    EXPECT_EQ(flow.MinPasswordLength(), 8);
    EXPECT_EQ(flow.SetUp("|12 and more"), code::kOk);
    EXPECT_EQ(flow.MinPasswordLength(), 12);
    for (const char* bad : {"8", "", "|x|", "abc"}) EXPECT_EQ(flow.SetUp(bad), 1) << bad;
    EXPECT_EQ(flow.SetUp(nullptr), 1);
}

TEST_F(KeyGeneration, RefusedNamesAreToldInTheirOrderAndTouchNoDevice) {
    ASSERT_EQ(keys.SetKey("k1", "5374617279", "AB", kind::kFile), 0);  // "Stary"
    const std::pair<std::optional<std::string>, int> cases[] = {
        {std::string(), kTextEnterKeyName},
        {std::string(36, 'n'), kTextKeyNameTooLong},
        {std::string("Stary"), kTextKeyNameInUse},
        // Too long and a Polish letter: the length is checked first.
        {std::string(35, 'n') + "\xB3", kTextKeyNameTooLong},
        {std::string("za\xB3"), kTextKeyNameCharacters},  // ł
        {std::string("\x8C"), kTextKeyNameCharacters},    // Ś
        {std::nullopt, kTextKeyNameCharacters},           // not in the code page
    };
    for (const auto& [name, text] : cases) {
        view.events.clear();
        flow.Generate(view, keygen::kLocationSmartCard, name);
        EXPECT_EQ(view.events, (Events{Message(text)})) << name.value_or("none");
    }
    EXPECT_FALSE(view.closed);
    EXPECT_EQ(psa.session(), 0u);
}

TEST_F(KeyGeneration, OnASmartCardThePinPromptComesBeforeTheWorker) {
    view.pins = {testing::kUserPin};
    // A stored key's name in other letter case is accepted.
    ASSERT_EQ(keys.SetKey("k1", "5374617279", "AB", kind::kFile), 0);
    PressCard("STARY");
    EXPECT_EQ(view.events, (Events{"pin STARY", "start", "stop", "close"}));
    EXPECT_EQ(flow.ResultCode(), code::kOk);
    EXPECT_EQ(flow.Location(), keygen::kLocationSmartCard);
    EXPECT_EQ(flow.KeyName(), "STARY");
    EXPECT_EQ(flow.PrivateKey(), "NULL");
    // The blob: 128-byte modulus, exponent 01 00 01.
    EXPECT_EQ(flow.PublicKey().size(), 2u * (4 + 128 + 4 + 3));
    EXPECT_EQ(flow.PublicKey().substr(0, 8), "80000000");
    ASSERT_EQ(flow.Fingerprint().size(), 40u);
    EXPECT_NE(machine.KeyList().find(flow.Fingerprint()), std::string::npos);
    // The device is closed and unloaded when the worker ends.
    EXPECT_EQ(psa.session(), 0u);

    view = RecordingView{};
    view.pins = {testing::kUserPin};
    // 36 characters are too many; 35 with spaces and punctuation pass.
    PressCard(std::string(31, 'n') + " a-b.");
    EXPECT_EQ(view.events, (Events{Message(kTextKeyNameTooLong)}));
    PressCard(std::string(30, 'n') + " a-b.");
    EXPECT_EQ(flow.ResultCode(), code::kOk);
}

TEST_F(KeyGeneration, ASmartCardKeepsTheWindowOpenForWhatTheUserCanCorrect) {
    view.pins = {"0000", testing::kUserPin};
    PressCard("karta");
    EXPECT_EQ(view.events, (Events{"pin karta", "start", "stop", Message(kTextIncorrectPin)}));
    EXPECT_FALSE(view.closed);
    EXPECT_EQ(flow.ResultCode(), code::kWrongPin);
    // Another try with the right PIN.
    PressCard("karta");
    EXPECT_TRUE(view.closed);
    EXPECT_EQ(flow.ResultCode(), code::kOk);

    // The label is taken on the device now.
    view = RecordingView{};
    view.pins = {testing::kUserPin};
    PressCard("karta");
    EXPECT_EQ(view.events.back(), Message(kTextKeyNameInUse));
    EXPECT_EQ(flow.ResultCode(), code::kKeyExistsOnDevice);
    EXPECT_FALSE(view.closed);
}

TEST_F(KeyGeneration, CancellingThePinPromptClosesWithEightAndStartsNoWorker) {
    PressCard("karta");
    EXPECT_EQ(view.events, (Events{"pin karta", "close"}));
    EXPECT_EQ(flow.ResultCode(), code::kCancelled);
    EXPECT_EQ(psa.session(), 0u);
}

TEST_F(KeyGeneration, GenerationFailureIs137OnACard) {
    machine.Configure("", "fail C_GenerateKeyPair 0x6\n");  // CKR_FUNCTION_FAILED
    view.pins = {testing::kUserPin};
    PressCard("nowy");
    EXPECT_EQ(view.events, (Events{"pin nowy", "start", "stop", "close"}));
    EXPECT_EQ(flow.ResultCode(), code::kCardGenFailed);
    EXPECT_TRUE(flow.PrivateKey().empty());
}

TEST_F(KeyGeneration, LockedDevicesCloseBeforeThePinPrompt) {
    machine.Generate("old");
    machine.Configure("pinleft=0");
    PressCard("nowy");
    EXPECT_EQ(view.events, (Events{"close"}));
    EXPECT_EQ(flow.ResultCode(), code::kPinLocked);

    view = RecordingView{};
    machine.Configure("pinleft=0|pukleft=0");
    PressCard("nowy");
    EXPECT_EQ(view.events, (Events{"close"}));
    EXPECT_EQ(flow.ResultCode(), code::kPinAndPukLocked);
    EXPECT_EQ(flow.Code91Value().rfind("ProtectorCard|\"", 0), 0u) << flow.Code91Value();
    EXPECT_EQ(psa.session(), 0u);
}

TEST_F(KeyGeneration, AFailedLoginIsClassifiedByTheStateReadAgain) {
    machine.Generate("old");
    machine.Configure("pukleft=0|pinleft=1");
    view.pins = {"0000"};
    PressCard("nowy");
    EXPECT_EQ(flow.ResultCode(), code::kPinAndPukLocked);
    EXPECT_NE(flow.Code91Value().find('"'), std::string::npos);
    EXPECT_TRUE(view.closed);

    view = RecordingView{};
    machine.Configure("", "fail C_Login 0xA4\n");  // the module reports the PIN locked
    view.pins = {"0000"};
    PressCard("nowy");
    EXPECT_EQ(flow.ResultCode(), code::kPinLocked);
    EXPECT_TRUE(view.closed);
}

TEST_F(KeyGeneration, AnUninitialisedDeviceIsInitialisedBeforeThePin) {
    machine.Configure("clearflags=0x408");
    // Without an initialisation the device stays unusable.
    PressCard("nowy");
    const std::string notice = "message " + std::to_string(kTextInitializeDeviceFirst) +
                               " plain caption " + std::to_string(kTextDeviceInitialization);
    EXPECT_EQ(view.events, (Events{notice, "close"}));
    EXPECT_EQ(flow.ResultCode(), code::kNotInitialised);

    // An initialisation that fails ends with its code; one that works leads to the PIN.
    int runs = 0;
    flow.SetInitialise([&] { return ++runs == 1 ? code::kWrongPuk : code::kOk; });
    view = RecordingView{};
    PressCard("nowy");
    EXPECT_EQ(view.events, (Events{notice, "close"}));
    EXPECT_EQ(flow.ResultCode(), code::kWrongPuk);
    view = RecordingView{};
    PressCard("nowy");
    EXPECT_EQ(view.events, (Events{notice, "pin nowy", "close"}));
    EXPECT_EQ(flow.ResultCode(), code::kCancelled);
    EXPECT_EQ(runs, 2);
}

TEST_F(KeyGeneration, NoDeviceOfTheChosenKindClosesWithTheDeviceLayersCode) {
    // The machine's one reader holds a card: there is no USB token.
    Press(keygen::kLocationUsbToken, "nowy");
    EXPECT_EQ(view.events, (Events{"close"}));
    EXPECT_EQ(flow.ResultCode(), code::kNoToken);
}

TEST(KeyGenerationOnToken, AWrongPinClosesWithItsCodeAndSuccessGivesNull) {
    SetLanguageIndex(kLanguageEnglish);
    DeviceMachine machine(testing::kTokenReader);
    CKeysStorage keys;
    CPSA psa;
    KeyGenerationFlow flow(psa, keys);
    RecordingView view;
    view.pins = {"0000", testing::kUserPin};
    for (int expected : {code::kWrongPin, code::kOk}) {
        flow.Generate(view, keygen::kLocationUsbToken, "token-key");
        while (!flow.Poll(view)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // No message on a token: every code closes the window.
        EXPECT_EQ(view.events, (Events{"pin token-key", "start", "stop", "close"})) << expected;
        EXPECT_EQ(flow.ResultCode(), expected);
        view.events.clear();
    }
    EXPECT_EQ(flow.PrivateKey(), "NULL");
    SetLanguageIndex(kLanguagePolish);
}

TEST(KeyGenerationKinds, LocationsMapToKeyKinds) {
    EXPECT_EQ(KindOfLocation(keygen::kLocationBank), kind::kBank);
    EXPECT_EQ(KindOfLocation(keygen::kLocationSmartCard), kind::kSmartCard);
    EXPECT_EQ(KindOfLocation(keygen::kLocationUsbToken), kind::kUsbToken);
    EXPECT_EQ(KindOfLocation(4), kind::kUnset);
}

}  // namespace
}  // namespace vq
