// One signing round: the inputs of the order signing dialog, the key chosen, the signing attempt
// and its result. The flows run it without a window (challenge decryption) or hand it to the
// signing dialog, which shows it through ISignView and reports the user's Sign presses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/ui/ui.h"
#include "storage/key_storage.h"
#include "storage/secure.h"

namespace vq {

// Purposes (signing modes) the flows sign with.
namespace purpose {
inline constexpr int kChallenge = 0;  // raw PKCS#1 signing of a log-in challenge
inline constexpr int kDecrypt = 1;    // decryption of the bank's answer
inline constexpr int kOrder = 4;      // SHA-256 signature of an order
}  // namespace purpose

// The three signing steps, implemented by the key-operations component.
class ISigningOperations {
  public:
    virtual ~ISigningOperations() = default;
    virtual CKeysStorage& KeySet() = 0;
    // Signing dialog variant (0 password prompt; 1, 2 password typed in the dialog).
    virtual int DialogVariant() const = 0;
    virtual bool SmartCardDriverInstalled() const = 0;
    virtual bool TokenDriverInstalled() const = 0;

    // `code91Value` receives the device's key list when the device is found blocked for good.
    virtual int Prepare(const std::string& keyId, bool silent, std::string& code91Value) = 0;
    // `password` is null when the step must obtain it itself. May clear `continueSigning`.
    virtual int SignStep(int mode, const SecureString* password,
                         std::span<const unsigned char> data, SecureBytes& result,
                         std::string& code91Value, bool silent, bool& continueSigning) = 0;
    virtual int Finish() = 0;
};

// What the session asks of the window around it, if there is one.
class ISignView {
  public:
    virtual ~ISignView() = default;
    // The typed password has been taken: show "################", then clear the field.
    virtual void WipePasswordField() = 0;
    // Put the focus back on the password field and redraw.
    virtual void FocusPasswordField() = 0;
    // A message box with text `textId` of the current language.
    virtual void ShowMessage(int textId, ui::Icon icon) = 0;
};

class SignSession {
  public:
    explicit SignSession(ISigningOperations& ops) : ops_(ops) {}
    ~SignSession();
    SignSession(const SignSession&) = delete;
    SignSession& operator=(const SignSession&) = delete;

    // Stores the inputs; unless in no-order mode decodes the hex order into the data to sign.
    // 1 for empty, odd-length or non-hex order text.
    int SetUp(std::string_view orderHex, std::string_view keyFilter,
              std::string_view preselectedKeyId);
    // Makes `bytes` the data to sign (challenge flows).
    void SetData(std::span<const unsigned char> bytes);
    // Silent use: the last key whose identifier equals the preselected one.
    void SelectKeyById();
    // Chooses the key at `index` of the key set; a different key must be prepared again.
    void Select(int index);

    // One signing attempt. `typedPassword` is the dialog's field (variants 1 and 2, interactive).
    int SigningAttempt(SecureString* typedPassword, ISignView* view);
    // The Sign button with the key at `index` of the key set chosen: the driver checks, then
    // attempts until the code's meaning says the window closes or stays. True: close with OK.
    bool SignPressed(int index, SecureString& typedPassword, ISignView& view);

    // Whether the key set entry is offered by the filter ("|" + id + "|" occurs in it).
    bool Offered(const CKeyStorage& key) const;
    // Numbers the offered keys in key set order (their list positions) and returns their display
    // texts; `preselected` receives the position of the preselected key, or -1.
    std::vector<std::string> NumberOfferedKeys(int& preselected);
    // The offered key at list position `entry` and its index in the key set; null if none.
    CKeyStorage* KeyAtEntry(int entry, int& index);

    void set_purpose(int p) { purpose_ = p; }
    void set_silent(bool s) { silent_ = s; }
    void set_no_order(bool n) { noOrder_ = n; }
    int purpose() const { return purpose_; }
    bool silent() const { return silent_; }
    bool noOrder() const { return noOrder_; }
    bool passwordInDialog() const { return passwordInDialog_ != 0; }

    const std::vector<unsigned char>& orderBytes() const { return order_; }
    const SecureBytes& data() const { return data_; }
    const std::string& keyFilter() const { return filter_; }
    const std::string& preselectedKeyId() const { return preselected_; }
    int selectedIndex() const { return selected_; }
    const std::string& chosenKeyId() const { return chosenKeyId_; }
    int resultCode() const { return resultCode_; }
    SecureBytes& signature() { return signature_; }
    const std::string& code91Value() const { return code91_; }
    // Refreshes the data to sign from the order bytes (after a new selection in order mode).
    void RecopyOrder();
    void set_result(int code) { resultCode_ = code; }
    void set_chosen(int index, std::string id) {
        selected_ = index;
        chosenKeyId_ = std::move(id);
    }

    ISigningOperations& ops() { return ops_; }

  private:
    ISigningOperations& ops_;
    std::vector<unsigned char> order_;
    SecureBytes data_;
    std::string filter_;
    std::string preselected_;
    int purpose_ = purpose::kOrder;
    bool silent_ = false;
    bool noOrder_ = true;
    int passwordInDialog_ = 0;
    int selected_ = -1;
    std::string chosenKeyId_;
    int resultCode_ = 0;
    SecureBytes signature_;
    std::string code91_;
    bool keyPrepared_ = false;
};

}  // namespace vq
