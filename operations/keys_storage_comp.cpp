#include "operations/keys_storage_comp.h"

#include <openssl/rand.h>

#include <algorithm>

#include "crypto/system_cert_store.h"
#include "dialogs/chose_key_dlg.h"
#include "dialogs/entry.h"
#include "operations/device_flows.h"
#include "operations/psa_backend.h"
#include "operations/register_cert.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/cfg_reg.h"
#include "storage/code_table.h"
#include "storage/codes.h"
#include "storage/hex_text.h"
#include "storage/key_file.h"
#include "storage/key_location.h"
#include "storage/network_msg.h"

namespace vq {
namespace {

// Until a device layer is configured: no reader can be reached.
class NoDevices final : public IDeviceBackend {
  public:
    int Open(DeviceKind) override { return code::kNoReader; }
    int ReadState(DeviceState&) override { return code::kNoSession; }
    int SilentUnblock(std::string&) override { return code::kPinLocked; }
    int Sign(const std::string&, const std::string&, const SecureString&,
             std::span<const unsigned char>, int, SecureBytes&) override {
        return code::kNoSession;
    }
    int ListKeys(std::string& keyList) override {
        keyList.clear();
        return code::kNoSession;
    }
    void LogoutAndClose() override {}
    bool SmartCardDriverInstalled() const override { return CKeywrightUtils().SmartCardsEnabled(); }
    bool TokenDriverInstalled() const override { return CKeywrightUtils().UsbTokensEnabled(); }
    void SetCardModels(const std::string&) override {}
};

// The user's NSS certificate store; its database password is asked with the password prompt.
class NssCertStore final : public ICertStore {
  public:
    NssCertStore() {
        store_.SetPasswordPrompt([](std::string_view subject) -> std::optional<SecureString> {
            SecureString password;
            if (PromptPassword(-1, subject, password) != ui::kIdOk) return std::nullopt;
            return password;
        });
    }
    int Sign(int mode, const std::string& certificate, std::span<const unsigned char> data,
             SecureBytes& out) override {
        // The store makes SHA-1 signatures and decrypts; an order (SHA-256) is refused before
        // the certificate is even looked up.
        if (mode != 1 && mode != 3) return code::kInvalidArgument;
        return store_.SignOrDecrypt(mode, certificate.c_str(), data.data(), data.size(), out);
    }

  private:
    CSystemCertStore store_;
};

// The key-file search asks through the user-interface seam.
class UiKeyFileUser final : public KeyFileUser {
  public:
    void ShowWarning(const std::string& text) override { ui::Message(text, ui::Icon::kWarning); }
    bool AskForFile(const std::string& ext, const std::string& name, const std::string& filter,
                    std::string& path) override {
        ui::FileRequest request;
        request.filter = filter;
        request.defaultExt = ext;
        request.defaultName = name;
        request.flags = ui::kOfnHideReadOnly | ui::kOfnOverwritePrompt;
        return ChooseFile(request, path) == ui::kIdOk;
    }
};

bool IsKeyDataKind(int k) {
    return k == 0 || k == 4 || k == 6 || k == 7;
}
bool IsKeyFileKind(int k) {
    return k == 1 || k == 5 || k == 8;
}
bool IsDeviceKind(int k) {
    return k == 2 || k == 10 || k == 11 || k == 13;
}

DeviceKind DeviceKindOf(int k) {
    if (k == kind::kSmartCard) return DeviceKind::SmartCard;
    if (k == kind::kUsbToken) return DeviceKind::UsbToken;
    return DeviceKind::Any;
}

bool SingleBar(const char* ids) {
    return ids && std::string_view(ids) == "|";
}

constexpr std::size_t kPasswordBuffer = 1024;
constexpr std::size_t kChallengeBytes = 32;
constexpr std::size_t kMaxChallengeText = 117;  // one PKCS#1 v1.5 block of a 1024-bit key

}  // namespace

CKeysStorageComp::CKeysStorageComp() : devices_(std::make_unique<CPsaBackend>()) {
    certStore_ = std::make_unique<NssCertStore>();
}

CKeysStorageComp::~CKeysStorageComp() {
    WipeMaterial();
    cachedPassword_.wipe();
    RemoveAll();
}

void CKeysStorageComp::SetDeviceBackend(std::unique_ptr<IDeviceBackend> b) {
    devices_ = std::move(b);
    devices_->SetCardModels(CardModels());
}

void CKeysStorageComp::CardModelsChanged() {
    devices_->SetCardModels(CardModels());
}

bool CKeysStorageComp::SmartCardDriverInstalled() const {
    return devices_->SmartCardDriverInstalled();
}
bool CKeysStorageComp::TokenDriverInstalled() const {
    return devices_->TokenDriverInstalled();
}

void CKeysStorageComp::EnsureBridge() {
    if (bridge_.status() != attach::kAttached) bridge_.Attach(site_);
}

void CKeysStorageComp::WipeMaterial() {
    keyMaterial_.wipe();
    materialKeyId_.clear();
}

bool CKeysStorageComp::MaterialCached(const CKeyStorage& key) const {
    // Cached material and password serve only the key they were prepared for.
    return !keyMaterial_.empty() && passwordCached_ && materialKeyId_ == key.id;
}

void CKeysStorageComp::ErrorDisplay(int code, bool reset) {
    CKeyStorage* key = currentKey_;
    if (code == code::kOk) {
        if (reset && key) key->wrongPasswordCount = 0;
        return;
    }
    const CodeMeaning meaning = MeaningOf(code);
    if (meaning.wrongPassword && key) {
        ++key->wrongPasswordCount;
        bridge_.WrongPasswordEvent("", key->id, key->name, key->wrongPasswordCount);
    }
    if (meaning.forgetsLocation && key) {
        // The remembered file was the wrong one: forget it, so the next attempt asks.
        StoreLocation(key->id.c_str(), "");
        if (newPathKeyId_ == key->id) {
            locationChanged_ = false;
            newPath_.clear();
            newPathKeyId_.clear();
        }
    }
    if (meaning.text != 0) ui::Message(LoadText(meaning.text), meaning.icon);
}

int CKeysStorageComp::PrepareKeyFile(CKeyStorage& key) {
    std::string stored;
    if (locationChanged_ && newPathKeyId_ == key.id) {
        // Chosen in the file dialog earlier in this signing: no need to ask again.
        stored = newPath_;
    } else {
        std::optional<std::string> location;
        Locations().GetParam(key.id.c_str(), location);
        if (location) stored = *location;
    }
    UiKeyFileUser user;
    LocateResult r = LocateAndReadKeyFile(stored, key.kind, key.name, user);
    if (r.newPath) {
        locationChanged_ = true;
        newPath_ = *r.newPath;
        newPathKeyId_ = key.id;
    }
    if (r.code == code::kOk) {
        keyMaterial_ = std::move(r.material);
        materialKeyId_ = key.id;
    }
    return r.code;
}

int CKeysStorageComp::Prepare(const std::string& keyId, bool silent, std::string& code91Value) {
    CKeyStorage* key = Find(keyId);
    if (!key) {
        ErrorDisplay(code::kNoSuchKey, false);
        return code::kNoSuchKey;
    }
    currentKey_ = key;
    int code = code::kOk;
    const int k = key->kind;
    if (IsKeyDataKind(k)) {
        if (!MaterialCached(*key)) {
            WipeMaterial();
            keyMaterial_.assign(key->data);
            materialKeyId_ = key->id;
        }
    } else if (IsKeyFileKind(k)) {
        if (!MaterialCached(*key)) {
            WipeMaterial();
            code = PrepareKeyFile(*key);
        }
    } else if (IsDeviceKind(k)) {
        if (!MaterialCached(*key)) {
            WipeMaterial();
            keyMaterial_.assign(key->data);
            materialKeyId_ = key->id;
        }
        code = devices_->Open(DeviceKindOf(k));
        if (code != code::kOk) {
            if (k == kind::kSmartCard || k == kind::kUsbToken) devices_->LogoutAndClose();
        } else {
            code = DevicePinCheck(silent, code91Value);
        }
    } else if (k != kind::kCertStore) {
        code = code::kKindNotUsable;
    }
    ErrorDisplay(code, false);
    return code;
}

int CKeysStorageComp::DevicePinCheck(bool silent, std::string& code91Value) {
    DeviceState state;
    int code = devices_->ReadState(state);
    if (code == code::kOk) {
        if (state.pukLocked && state.userPinLocked) {
            devices_->ListKeys(code91Value);
            code = code::kPinAndPukLocked;
        } else if (state.userPinLocked) {
            if (!silent) {
                code = code::kPinLocked;
            } else {
                code = devices_->SilentUnblock(code91Value);
                if (code != code::kOk && code != code::kPinAndPukLocked) code = code::kPinLocked;
            }
        }
        if (!state.tokenInitialised || !state.userPinInitialised) code = code::kNotInitialised;
    }
    if (code != code::kOk) devices_->LogoutAndClose();
    return code;
}

int CKeysStorageComp::SignStep(int mode, const SecureString* password,
                               std::span<const unsigned char> data, SecureBytes& result,
                               std::string& code91Value, bool silent, bool& continueSigning) {
    // Only a wrong PIN typed into the PIN prompt goes round again within one attempt.
    continueSigning = false;
    CKeyStorage* key = currentKey_;
    if (!key) return code::kKindNotUsable;
    const int k = key->kind;

    if (k != kind::kSmartCard && key->wrongPasswordCount >= 3) {
        ErrorDisplay(code::kKeyBlocked, false);
        return code::kKeyBlocked;
    }
    if (k == kind::kSmartCard || k == kind::kUsbToken) {
        const int code = DevicePinCheck(silent, code91Value);
        if (code != code::kOk) {
            ErrorDisplay(code, false);
            return code;
        }
    }

    SecureString secret;
    if (passwordCached_) {
        secret = cachedPassword_;
    } else if (password) {
        secret = *password;
    } else if (k != kind::kCertStore) {
        if (PasswordEntry(k, key->name, secret) != ui::kIdOk) return code::kCancelled;
    }
    if (secret.size() >= kPasswordBuffer) return code::kInvalidArgument;

    int code = code::kInvalidArgument;
    const char* material = keyMaterial_.c_str();
    const int engineMode = (k == 4 || k == 5 || k == 7) && (mode == 3 || mode == 4) ? 2
                           : k == kind::kDeviceMaterial                             ? 3
                                                                                    : mode;
    switch (k) {
        case kind::kBank:
        case kind::kBank6:
            code = rsa_.SignData(material, key_format::kKeyFile, nullptr, secret.c_str(),
                                 data.data(), data.size(), result, engineMode);
            break;
        case kind::kFile:
            code = rsa_.SignData(material, key_format::kKeyFile, key->data.c_str(), secret.c_str(),
                                 data.data(), data.size(), result, engineMode);
            break;
        case kind::kPkcs8File:
            code = rsa_.SignData(material, key_format::kPkcs8, key->data.c_str(), secret.c_str(),
                                 data.data(), data.size(), result, engineMode);
            break;
        case 4:
        case 7:
            code = rsa_.SignData(material, key_format::kPgp, nullptr, secret.c_str(), data.data(),
                                 data.size(), result, engineMode);
            break;
        case kind::kPgpFile:
            code = rsa_.SignData(material, key_format::kPgp, key->data.c_str(), secret.c_str(),
                                 data.data(), data.size(), result, engineMode);
            break;
        case kind::kDeviceMaterial:
            code = rsa_.SignData(material, 3, nullptr, secret.c_str(), data.data(), data.size(),
                                 result, engineMode);
            break;
        case kind::kCertStore:
            code = certStore_->Sign(mode, key->data, data, result);
            break;
        case kind::kSmartCard:
        case kind::kAnyDevice:
        case kind::kUsbToken:
            code = devices_->Sign(key->name, key->data, secret, data, mode, result);
            break;
        default:
            code = code::kInvalidArgument;
            break;
    }

    if (code == code::kKeyNotOnCard && k == kind::kUsbToken) code = code::kKeyNotOnToken;
    if (code == code::kPinLocked) {
        if (DevicePinCheck(silent, code91Value) == code::kPinAndPukLocked)
            code = code::kPinAndPukLocked;
        return code;
    }
    if (code == code::kWrongPin && !password && !silent) continueSigning = true;
    ErrorDisplay(code, true);
    if (code == code::kOk && remember_) {
        cachedPassword_ = secret;
        passwordCached_ = true;
    }
    return code;
}

int CKeysStorageComp::Finish() {
    CKeyStorage* key = currentKey_;
    if (locationChanged_ && key) {
        StoreLocation(key->id.c_str(), newPath_.c_str());
        locationChanged_ = false;
        newPath_.clear();
        newPathKeyId_.clear();
    }
    const int k = key ? key->kind : -1;
    if ((k >= 0 && k <= 1) || (k >= 4 && k <= 8)) {
        if (!remember_) WipeMaterial();
    } else if (k == kind::kSmartCard || k == kind::kAnyDevice || k == kind::kUsbToken) {
        if (!remember_) WipeMaterial();
        devices_->LogoutAndClose();
    } else if (k != kind::kCertStore && k != kind::kDeviceMaterial) {
        return code::kKindNotUsable;
    }
    currentKey_ = nullptr;
    return code::kOk;
}

OpResult CKeysStorageComp::SignOperation(const char* allowedKeyIds, const char* preselectedKeyId,
                                         const char* orderHex) {
    if (!devices_->TokenDriverInstalled() && !devices_->SmartCardDriverInstalled())
        return {code::kNoDriver};
    if (signingLocked_) return {code::kSigningLocked};
    if (Count() == 0) return {code::kNoSuchKey};
    if (SingleBar(allowedKeyIds)) return {code::kSingleBar};

    SignSession session(*this);
    session.set_no_order(false);
    if (int code = session.SetUp(orderHex ? orderHex : "", allowedKeyIds ? allowedKeyIds : "",
                                 preselectedKeyId ? preselectedKeyId : ""))
        return {code};
    session.set_purpose(purpose::kOrder);
    session.set_silent(false);

    OpResult r;
    const bool ok = runSignDialog_ && runSignDialog_(session) == ui::kIdOk;
    if (!remember_) WipeMaterial();
    // A failed attempt left the key prepared: a device must not stay open after the dialog.
    if (currentKey_ && IsDeviceKind(currentKey_->kind)) devices_->LogoutAndClose();
    currentKey_ = nullptr;
    if (!ok) return {code::kCancelled};
    r.code = session.resultCode();
    r.fields.push_back(session.chosenKeyId());
    if (r.code == code::kOk) r.fields.push_back(HexEncode(session.signature()));
    if (r.code == code::kPinAndPukLocked)
        r.keyList = MapDeviceKeyList(*this, session.code91Value());
    return r;
}

OpResult CKeysStorageComp::EncryptOperation(const char* allowedKeyIds, const char* preselectedKeyId,
                                            const char* loginText, int mode) {
    SignSession session(*this);
    CProofOfPossesion message;
    signingLocked_ = true;

    if (!loginText || !*loginText) return {code::kInvalidArgument};
    if (Count() == 0) return {code::kNoSuchKey};
    if (SingleBar(allowedKeyIds)) return {code::kSingleBar};
    challengeMode_ = mode;

    if (mode == 2) {
        // The log-in password is asked for the user's sake; it does not enter the challenge.
        SecureString loginPassword;
        if (PromptPassword(3, "", loginPassword) != ui::kIdOk) return {code::kCancelled};
    }

    unsigned char random[kChallengeBytes];
    if (RAND_bytes(random, sizeof random) != 1) return {code::kOutOfMemory};
    challenge_ = HexEncode(std::span<const unsigned char>(random));
    OPENSSL_cleanse(random, sizeof random);

    const std::string login(loginText);
    if (login.size() + 66 > kMaxChallengeText) return {code::kInvalidArgument};
    std::string text = login + "-" + challenge_;
    text.push_back('\0');

    if (int code = session.SetUp("", allowedKeyIds ? allowedKeyIds : "",
                                 preselectedKeyId ? preselectedKeyId : ""))
        return {code};
    session.SetData(std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()));
    session.set_purpose(purpose::kChallenge);
    session.set_silent(false);
    remember_ = true;
    cachedPassword_.wipe();
    passwordCached_ = false;

    const bool ok = runSignDialog_ && runSignDialog_(session) == ui::kIdOk;
    session.SetData({});
    if (!ok) return {code::kCancelled};

    OpResult r;
    r.code = session.resultCode();
    if (r.code == code::kOk) {
        message.keyId = session.chosenKeyId();
        message.signature.emplace(session.signature().begin(), session.signature().end());
        message.signatureLength = static_cast<std::uint32_t>(session.signature().size());
        const unsigned char* wire = message.Serialize();
        if (!wire) return {code::kOutOfMemory};
        r.fields.push_back(HexEncode(std::span(wire, message.Size())));
        return r;
    }
    r.fields.push_back(session.chosenKeyId());
    if (r.code == code::kPinAndPukLocked)
        r.keyList = MapDeviceKeyList(*this, session.code91Value());
    return r;
}

OpResult CKeysStorageComp::DecryptOperation(const char* allowedKeyIds, const char* messageHex,
                                            int mode) {
    SignSession session(*this);
    CProofOfPossesion message;

    if (mode != challengeMode_) return {code::kInvalidArgument};
    if (Count() == 0) return {code::kNoSuchKey};
    if (SingleBar(allowedKeyIds)) return {code::kSingleBar};

    std::vector<unsigned char> wire;
    if (!messageHex || HexDecode(messageHex, wire) != 0) return {code::kInvalidArgument};
    if (message.Parse(wire.data(), wire.size()) != 1) return {code::kInvalidArgument};

    if (int code =
            session.SetUp("", allowedKeyIds ? allowedKeyIds : "", message.keyId.value_or("")))
        return {code};
    session.SelectKeyById();
    const std::vector<unsigned char> empty;
    session.SetData(message.signature ? std::span<const unsigned char>(*message.signature)
                                      : std::span<const unsigned char>(empty));
    session.set_purpose(purpose::kDecrypt);
    session.set_silent(true);
    remember_ = false;

    const int code = session.SigningAttempt(nullptr, nullptr);
    session.SetData({});
    cachedPassword_.wipe();
    passwordCached_ = false;
    WipeMaterial();

    OpResult r;
    r.code = code;
    r.fields.push_back(session.chosenKeyId());
    if (code == code::kOk) {
        // The answer must be the pending challenge, with or without its terminating zero.
        const SecureBytes& plain = session.signature();
        const std::size_t n = challenge_.size();
        const bool matches =
            !challenge_.empty() &&
            (plain.size() == n || (plain.size() == n + 1 && plain[n] == 0)) &&
            std::equal(challenge_.begin(), challenge_.end(), plain.begin(),
                       [](char c, unsigned char b) { return static_cast<unsigned char>(c) == b; });
        if (matches) signingLocked_ = false;
        OPENSSL_cleanse(session.signature().data(), session.signature().size());
    }
    if (code == code::kPinAndPukLocked) r.keyList = MapDeviceKeyList(*this, session.code91Value());
    return r;
}

OpResult CKeysStorageComp::ChangeKeyLocation(const char* keyId) {
    std::string pathHex;
    const int code = vq::ChangeKeyLocation(*this, keyId, pathHex);
    if (code != code::kOk) return {code};
    return {code::kOk, {pathHex}};
}

OpResult CKeysStorageComp::ShowKeyboard() {
    SecureString text;
    const int code = vq::ShowKeyboard(text);
    if (code != code::kOk) return {code};
    return {code::kOk, {std::string(text.view())}};
}

OpResult CKeysStorageComp::RegisterCert() {
    CSystemCertStore store;
    std::string nameHex, certificate;
    const int code = vq::RegisterCert(
        store,
        [this](const CSystemCertStore& listed, std::string& name, std::string& chosen) {
            CChoseKeyDlg dialog(*this);
            dialog.SetCertificates(listed);
            if (ui::Current().RunModal(dialog, kChoseKeyDialogId) != ui::kIdOk) return false;
            name = dialog.Name();
            chosen = dialog.Certificate();
            return true;
        },
        nameHex, certificate);
    if (code != code::kOk) return {code};
    return {code::kOk, {std::move(nameHex), std::move(certificate)}};
}

}  // namespace vq
