// The key-operations component: the key store plus the flows behind the page's methods.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/base_rsa.h"
#include "devices/key_list.h"
#include "operations/backends.h"
#include "operations/page_bridge.h"
#include "operations/sign_session.h"
#include "storage/key_storage.h"

namespace vq {

class CPSA;
class IDeviceFlowUi;
class KeyGenerationFlow;

// Outputs of an operation; which fields are set depends on the method and the code.
struct OpResult {
    int code = 0;
    // Payload fields in the order the method prints them (keyId, signatureHex; pathHex; ...).
    std::vector<std::string> fields;
    // Identifiers joined by "|": the device's keys (code 91, device management flows).
    std::optional<std::string> keyList;
    int kind = 0;  // GenerateKey: 2 or 11
};

class CKeysStorageComp : public CKeysStorage, public ISigningOperations {
  public:
    CKeysStorageComp();
    ~CKeysStorageComp() override;

    // Signing dialog variant from SetSignDialogType: 1 -> 0, 2 -> 1, anything else -> 2.
    void SetDialogType(int type) { dialogVariant_ = type == 1 ? 0 : type == 2 ? 1 : 2; }
    int dialogVariant() const { return dialogVariant_; }

    // The page that hosts the control (none outside a browser).
    void SetClientSite(IClientSite* site) { site_ = site; }
    // Attaches the page bridge unless it is attached already.
    void EnsureBridge();
    CCallJS& bridge() { return bridge_; }

    // The flows.
    OpResult SignOperation(const char* allowedKeyIds, const char* preselectedKeyId,
                           const char* orderHex);
    OpResult EncryptOperation(const char* allowedKeyIds, const char* preselectedKeyId,
                              const char* loginText, int mode);
    OpResult DecryptOperation(const char* allowedKeyIds, const char* messageHex, int mode);
    OpResult ChangeKeyLocation(const char* keyId);
    OpResult ShowKeyboard();
    // The user names a certificate of the personal store: fields nameHex, certificate.
    OpResult RegisterCert();
    // Device management and key generation (device_management.cpp).
    OpResult GenerateKeyOperation(const char* parameters);
    OpResult InitializeCardOperation();
    OpResult ChangePinOperation();
    OpResult ChangePukOperation();
    OpResult UnblockCardOperation();
    OpResult RemoveKeysOperation(DeviceKind deviceKind);
    // The dialogs of the device management flows: the control wires the real ones in, tests
    // replace them; without any every question counts as cancelled.
    void SetDeviceFlowUi(std::unique_ptr<IDeviceFlowUi> ui);
    // Shows the key generation window around the flow; returns the window's result (1 OK).
    // The control wires the real dialog in; without one the generation counts as cancelled.
    using KeyGenerationRunner = std::function<int(KeyGenerationFlow&)>;
    void SetKeyGenerationRunner(KeyGenerationRunner r) { runKeyGeneration_ = std::move(r); }
    // The device object the device management flows and key generation use: the back end's, or
    // the component's own when the back end has none.
    CPSA& DeviceObject();

    bool signingLocked() const { return signingLocked_; }
    const std::string& pendingChallenge() const { return challenge_; }

    // Shows the order signing dialog around a session; returns the dialog's result (1 OK). The
    // control wires the real dialog in; without one every signing window counts as cancelled.
    using SignDialogRunner = std::function<int(SignSession&)>;
    void SetSignDialogRunner(SignDialogRunner r) { runSignDialog_ = std::move(r); }

    // Back ends; replaced by tests and by the hosts' configuration.
    void SetDeviceBackend(std::unique_ptr<IDeviceBackend> b);
    void SetCertStore(std::unique_ptr<ICertStore> s) { certStore_ = std::move(s); }

    // ISigningOperations.
    CKeysStorage& KeySet() override { return *this; }
    int DialogVariant() const override { return dialogVariant_; }
    bool SmartCardDriverInstalled() const override;
    bool TokenDriverInstalled() const override;
    int Prepare(const std::string& keyId, bool silent, std::string& code91Value) override;
    int SignStep(int mode, const SecureString* password, std::span<const unsigned char> data,
                 SecureBytes& result, std::string& code91Value, bool silent,
                 bool& continueSigning) override;
    int Finish() override;

  protected:
    void CardModelsChanged() override;

  private:
    // Shows what a code means to the user and keeps the key's counters and location in step.
    void ErrorDisplay(int code, bool reset);
    int DevicePinCheck(bool silent, std::string& code91Value);
    int PrepareKeyFile(CKeyStorage& key);
    void WipeMaterial();
    bool MaterialCached(const CKeyStorage& key) const;

    int dialogVariant_ = 0;
    IClientSite* site_ = nullptr;
    CCallJS bridge_;
    CBaseRSA rsa_;
    std::unique_ptr<IDeviceBackend> devices_;
    std::unique_ptr<ICertStore> certStore_;
    SignDialogRunner runSignDialog_;
    std::unique_ptr<IDeviceFlowUi> flowUi_;
    KeyGenerationRunner runKeyGeneration_;
    std::unique_ptr<CPSA> ownDevice_;

    // Key material belongs to the key it was prepared for.
    std::string materialKeyId_;
    // A location chosen in the file dialog waits here for Finish.
    std::string newPathKeyId_;

    bool signingLocked_ = false;
    int challengeMode_ = 0;
    std::string challenge_;
};

}  // namespace vq
