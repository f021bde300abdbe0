// The key-operations component: it owns the key set, the signing flow, the device back end, the
// certificate store and the page bridge, and runs the flows behind the page's methods.
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
#include "operations/sign_flow.h"
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

class CKeysStorageComp {
  public:
    CKeysStorageComp();
    ~CKeysStorageComp();
    CKeysStorageComp(const CKeysStorageComp&) = delete;
    CKeysStorageComp& operator=(const CKeysStorageComp&) = delete;

    // The key set methods of the page.
    int SetKey(const char* id, const char* nameHex, const char* data, int kind) {
        return keys_.SetKey(id, nameHex, data, kind);
    }
    int RemoveKey(const char* id);
    void RemoveAll();
    int AddCardModel(const char* model);
    int GetKeyLocation(const char* id, std::string& pathHex) {
        return keys_.GetKeyLocation(id, pathHex);
    }
    int SetKeyLocation(const char* id, const char* pathHex) {
        return keys_.SetKeyLocation(id, pathHex);
    }

    KeySet& keys() { return keys_; }
    const KeySet& keys() const { return keys_; }
    SignFlow& signing() { return flow_; }

    // Signing dialog variant from SetSignDialogType: 1 -> 0, 2 -> 1, anything else -> 2.
    void SetDialogType(int type) { flow_.SetDialogVariant(type == 1 ? 0 : type == 2 ? 1 : 2); }
    int dialogVariant() const { return flow_.DialogVariant(); }

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
    void SetCertStore(std::unique_ptr<ICertStore> s);
    bool SmartCardDriverInstalled() const { return flow_.SmartCardDriverInstalled(); }
    bool TokenDriverInstalled() const { return flow_.TokenDriverInstalled(); }

  private:
    IClientSite* site_ = nullptr;
    CCallJS bridge_;
    KeySet keys_;
    std::unique_ptr<IDeviceBackend> devices_;
    std::unique_ptr<ICertStore> certStore_;
    // Declared after the parts it borrows, so that it goes first.
    SignFlow flow_{keys_, bridge_};
    SignDialogRunner runSignDialog_;
    std::unique_ptr<IDeviceFlowUi> flowUi_;
    KeyGenerationRunner runKeyGeneration_;
    std::unique_ptr<CPSA> ownDevice_;

    bool signingLocked_ = false;
    int challengeMode_ = 0;
    std::string challenge_;
};

}  // namespace vq
