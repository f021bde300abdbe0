// Shared by the device management and key generation scenarios: a machine with one reader whose
// device is a SoftHSM2 token behind the test PKCS#11 module, a user interface that records message
// boxes and answers them from a queue, and the device management dialogs played by a script.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "devices/psa.h"
#include "operations/device_flows.h"
#include "platform/ui/ui.h"
#include "storage/cfg_reg.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "tests/fakes/test_env.h"

namespace vq::testing {

inline constexpr const char* kCardReader = "Card Reader 00";
inline constexpr const char* kTokenReader = "Crypto Key 00";  // " Key ": a USB token
inline constexpr const char* kCardAtr = "3B8F8001804F0CA000000306030001000000006A";

// Message boxes recorded with their texts; answered from `answers`, else dismissed.
class RecordingUi final : public ui::Ui {
  public:
    struct Box {
        std::string text, caption;
        ui::Icon icon;
        ui::Buttons buttons;
    };
    std::vector<Box> boxes;
    std::deque<int> answers;
    int dialogs = 0;

    int RunModal(QDialog&, int) override {
        ++dialogs;
        return ui::kIdCancel;
    }
    int MessageBox(std::string_view text, std::string_view caption, ui::Icon icon,
                   ui::Buttons buttons) override {
        boxes.push_back({std::string(text), std::string(caption), icon, buttons});
        if (answers.empty()) return ui::DismissAnswer(buttons);
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    int OpenFile(const ui::FileRequest&, std::string&) override { return ui::kIdCancel; }
    int Print(const ui::PrintRequest&) override { return ui::kIdCancel; }
    void Event(std::string_view, std::string_view) override {}
};

class UseUi {
  public:
    explicit UseUi(ui::Ui& u) { ui::SetCurrent(&u); }
    ~UseUi() { ui::SetCurrent(nullptr); }
};

// Chooses the objects whose fingerprints are listed (every object when the list is empty).
class ChooseKeys final : public IKeyRemovalChooser {
  public:
    ChooseKeys(std::vector<std::string> prints, bool ok) : prints_(std::move(prints)), ok_(ok) {}
    void AddKey(const std::string&, const std::string& fp, bool, CK_OBJECT_HANDLE h) override {
        handles_.push_back(h);
        objects_.push_back(fp);
    }
    bool Run() override { return ok_; }
    bool chosen(int i) const override {
        if (i >= int(objects_.size())) return false;
        return prints_.empty() ||
               std::find(prints_.begin(), prints_.end(), objects_[i]) != prints_.end();
    }
    CK_OBJECT_HANDLE handle(int i) const override { return handles_.at(i); }
    std::string fingerprint(int i) const override { return objects_.at(i); }

  private:
    std::vector<std::string> prints_;
    bool ok_;
    std::vector<CK_OBJECT_HANDLE> handles_;
    std::vector<std::string> objects_;
};

// The device management dialogs, answered from queues; every request is recorded.
class ScriptedFlowUi final : public IDeviceFlowUi {
  public:
    struct Codes {
        int result;
        std::string first, second;
    };
    std::deque<Codes> pinDialog, initDialog;
    std::deque<Codes> prompts;  // first: the PIN
    std::vector<std::pair<int, bool>> pinModes;
    int initRuns = 0, promptRuns = 0, removals = 0;
    std::vector<std::string> remove;  // fingerprints to choose; empty: all
    bool removalOk = true;

    int PinDialog(int mode, bool token, SecureString& a, SecureString& b) override {
        pinModes.emplace_back(mode, token);
        return Take(pinDialog, a, b);
    }
    int InitDialog(SecureString& puk, SecureString& pin) override {
        ++initRuns;
        return Take(initDialog, puk, pin);
    }
    int PinPrompt(SecureString& pin) override {
        ++promptRuns;
        SecureString unused;
        return Take(prompts, pin, unused);
    }
    std::unique_ptr<IKeyRemovalChooser> RemovalChooser() override {
        ++removals;
        return std::make_unique<ChooseKeys>(remove, removalOk);
    }

  private:
    static int Take(std::deque<Codes>& q, SecureString& a, SecureString& b) {
        if (q.empty()) return ui::kIdCancel;
        Codes c = q.front();
        q.pop_front();
        a.assign(c.first);
        b.assign(c.second);
        return c.result;
    }
};

// One reader with a SoftHSM2 token ("dev") behind the test module. `slotOptions` are the slot
// line's options (pinleft=0, pukleft=0, clearflags=...); `extra` further configuration lines.
class DeviceMachine {
  public:
    explicit DeviceMachine(const std::string& reader = kCardReader) : reader_(reader) {
        env.UseFakes();
        env.InitToken("dev");
        env.Write("pcsc.conf", "reader " + reader_ + "|" + kCardAtr + "\n");
        Configure();
    }
    void Configure(const std::string& slotOptions = "", const std::string& extra = "") {
        std::filesystem::remove(env.Path("tries"));
        env.Write("p11.conf", std::string("backend ") + kSoftHsm + "\nstate " + env.Path("tries") +
                                  "\nslot " + reader_ + "|token=dev" +
                                  (slotOptions.empty() ? "" : "|" + slotOptions) + "\n" + extra);
    }
    void Drivers(bool cards, bool tokens) {
        env.SetString(kDeviceConfigKey, "GemPCTwin USB", cards ? "1" : "0");
        env.SetString(kDeviceConfigKey, "GemPCKey USB", tokens ? "1" : "0");
    }
    // Runs `op` on the device opened and logged in with `pin` (empty: no login).
    template <class Op>
    int WithDevice(const std::string& pin, Op op) {
        CPSA psa;
        CK_SLOT_ID slot = 0;
        int code = psa.SelectDevice(DeviceKind::Any, &slot);
        if (code == code::kOk) code = psa.ReadTokenState();
        if (code == code::kOk && !pin.empty()) {
            SecureString p(pin);
            code = psa.LoginUser(&p);
        }
        if (code == code::kOk) code = op(psa);
        if (psa.session()) psa.CloseSession();
        psa.UnloadModule();
        return code;
    }
    std::string Generate(const std::string& label) {
        std::string blob, print;
        EXPECT_EQ(WithDevice(kUserPin,
                             [&](CPSA& psa) {
                                 return psa.GenerateDeviceKeyPair(label.c_str(), 1024, blob, print);
                             }),
                  code::kOk);
        return print;
    }
    std::string KeyList() {
        std::string list;
        WithDevice("", [&](CPSA& psa) { return psa.ListKeys(list); });
        return list;
    }
    int LoginUser(const std::string& pin) {
        return WithDevice(pin, [](CPSA&) { return code::kOk; });
    }
    int LoginSO(const std::string& puk) {
        return WithDevice("", [&](CPSA& psa) {
            SecureString p(puk);
            return psa.LoginSO(&p);
        });
    }

    DeviceEnv env;

  private:
    std::string reader_;
};

}  // namespace vq::testing
