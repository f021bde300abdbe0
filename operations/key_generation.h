// The key generation sequence behind GenerateKey: check the name, select the device, read its
// state, initialise it if needed, ask for the PIN, then log in and generate the key pair on a
// worker thread, and decide what the outcome means. The key generation dialog is its window: it
// asks for the location and the name, reports Generate and its timer, and shows what it is told.
//
// Threads: the worker runs only device calls. It writes the outputs (result code, public key,
// fingerprint, private key text, key list) and then, last, the finished flag; the user-interface
// thread reads them only after its timer has seen the flag. The window disables every control
// that could start another device operation meanwhile, so the device object has one user at a
// time.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "devices/device_kind.h"
#include "platform/ui/ui.h"
#include "storage/secure.h"

namespace vq {

class CKeysStorage;
class CPSA;

namespace keygen {
// Locations: radio indexes of the dialog. Only the device ones are offered.
inline constexpr int kLocationBank = 0;
inline constexpr int kLocationFile = 1;
inline constexpr int kLocationSmartCard = 2;
inline constexpr int kLocationUsbToken = 3;
inline constexpr std::size_t kMaxNameLength = 35;
}  // namespace keygen

// Key kind of a location: 0, 1, 2, 11, or 255 for anything else.
int KindOfLocation(int location);

// What the flow tells its window and asks of the user.
class IKeyGenerationView {
  public:
    virtual ~IKeyGenerationView() = default;
    // A message box with text `textId` (caption `captionId`, 0: empty) and an OK button.
    virtual void ShowMessage(int textId, ui::Icon icon, int captionId) = 0;
    // The PIN prompt for the key `keyName`: true with the typed PIN, false when cancelled.
    virtual bool AskPin(const std::string& keyName, SecureString& pin) = 0;
    // The worker starts (true: controls disabled, progress from 0, the timer runs) or has
    // ended (false: timer stopped, controls enabled, progress hidden).
    virtual void SetGenerating(bool generating) = 0;
    // The flow has its final code: the window closes with OK.
    virtual void Close() = 0;
};

class KeyGenerationFlow {
  public:
    // `keys`: the stored keys, whose names a new key must not take.
    KeyGenerationFlow(CPSA& device, CKeysStorage& keys) : device_(device), keys_(keys) {}
    // A worker still running owns the device until it is done.
    ~KeyGenerationFlow();
    KeyGenerationFlow(const KeyGenerationFlow&) = delete;
    KeyGenerationFlow& operator=(const KeyGenerationFlow&) = delete;

    // Reads the GenerateKey argument as "|%d|": 1 when no number follows a leading bar, else 0.
    int SetUp(const char* parameters);
    int MinPasswordLength() const { return minPasswordLength_; }
    void SetKeySize(int bits) { keySize_ = bits; }
    // The initialisation of a device that is not initialised; it works on the open device and
    // leaves it open. Its non-zero result ends the generation with that code.
    void SetInitialise(std::function<int()> initialise) { initialise_ = std::move(initialise); }

    // The user pressed Generate for `location` with the typed name (none: a name the code page
    // cannot hold). Either the view is told why nothing happens, or the outcome is final and the
    // view closed, or the worker runs.
    void Generate(IKeyGenerationView& view, int location, const std::optional<std::string>& name);
    // The window's timer: false while the worker runs; once it has finished, the worker is
    // joined, the view told the outcome, and the answer is true.
    bool Poll(IKeyGenerationView& view);
    bool Running() const { return worker_.joinable(); }

    // Outputs, read after the view closed.
    int ResultCode() const { return result_; }
    int Location() const { return location_; }
    const std::string& KeyName() const { return name_; }
    const std::string& PrivateKey() const { return privateKey_; }
    const std::string& PublicKey() const { return publicKey_; }
    const std::string& Fingerprint() const { return fingerprint_; }
    const std::string& Code91Value() const { return code91_; }

  private:
    // Text of the first name check that fails, or 0.
    int CheckName(const std::string& name) const;
    // Closes the device, stores the code and closes the view.
    void EndWith(IKeyGenerationView& view, int code);
    void Start(IKeyGenerationView& view);
    void RunWorker();
    ::vq::DeviceKind DeviceKind() const;

    CPSA& device_;
    CKeysStorage& keys_;
    std::function<int()> initialise_;
    int keySize_ = 1024;
    int minPasswordLength_ = 0;

    int location_ = keygen::kLocationUsbToken;
    std::string name_;
    SecureString pin_;
    int result_ = 0;
    std::string privateKey_;
    std::string publicKey_;
    std::string fingerprint_;
    std::string code91_;

    std::thread worker_;
    std::atomic<bool> finished_{false};
};

}  // namespace vq
