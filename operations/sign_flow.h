// The signing flow: the three steps the signing round runs (prepare the chosen key, sign, finish)
// over the key set, the RSA engine, the device back end and the certificate store, and the state
// of one signature: the current key, its loaded material, the cached password and a key file
// location chosen during the signature. The component owns one flow for its whole life, so that a
// password cached by the log-in challenge survives until the challenge is answered.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "crypto/base_rsa.h"
#include "operations/backends.h"
#include "operations/page_bridge.h"
#include "operations/sign_session.h"
#include "storage/key_storage.h"
#include "storage/secure.h"

namespace vq {

class SignFlow final : public ISigningOperations {
  public:
    SignFlow(CKeysStorage& keys, CCallJS& bridge) : keys_(keys), bridge_(bridge) {}
    ~SignFlow() override;
    SignFlow(const SignFlow&) = delete;
    SignFlow& operator=(const SignFlow&) = delete;

    // The parts the component owns and may replace; the flow only borrows them.
    void SetDeviceBackend(IDeviceBackend* devices) { devices_ = devices; }
    void SetCertStore(ICertStore* store) { certStore_ = store; }
    void SetDialogVariant(int variant) { dialogVariant_ = variant; }

    // A successful signature caches the password and Finish keeps the key material.
    void SetRemember(bool remember) { remember_ = remember; }
    bool remember() const { return remember_; }
    void ForgetPassword();
    void WipeMaterial();
    // The signing window has closed: unless remembered the material goes, a device left open by a
    // failed attempt is closed, and no key is current any more.
    void EndRound();
    // The key set entry is about to go (null: every entry): the flow must not hold on to it.
    void KeyRemoved(const CKeyStorage* key);

    // ISigningOperations.
    CKeysStorage& KeySet() override { return keys_; }
    int DialogVariant() const override { return dialogVariant_; }
    bool SmartCardDriverInstalled() const override;
    bool TokenDriverInstalled() const override;
    int Prepare(const std::string& keyId, bool silent, std::string& code91Value) override;
    int SignStep(int mode, const SecureString* password, std::span<const unsigned char> data,
                 SecureBytes& result, std::string& code91Value, bool silent,
                 bool& continueSigning) override;
    int Finish() override;

  private:
    // Shows what a code means to the user and keeps the key's counters and location in step.
    void ErrorDisplay(int code, bool reset);
    int DevicePinCheck(bool silent, std::string& code91Value);
    int PrepareKeyFile(CKeyStorage& key);
    bool MaterialCached(const CKeyStorage& key) const;
    void ForgetNewPath();

    CKeysStorage& keys_;
    CCallJS& bridge_;
    CBaseRSA rsa_;
    IDeviceBackend* devices_ = nullptr;
    ICertStore* certStore_ = nullptr;
    int dialogVariant_ = 0;

    // The key being signed with.
    CKeyStorage* currentKey_ = nullptr;
    // Key material belongs to the key it was prepared for.
    SecureString keyMaterial_;
    std::string materialKeyId_;
    SecureString cachedPassword_;
    bool passwordCached_ = false;
    bool remember_ = false;
    // A location chosen in the file dialog waits here for Finish.
    bool locationChanged_ = false;
    std::string newPath_;
    std::string newPathKeyId_;
};

}  // namespace vq
