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

bool SingleBar(const char* ids) {
    return ids && std::string_view(ids) == "|";
}

constexpr std::size_t kChallengeBytes = 32;
constexpr std::size_t kMaxChallengeText = 117;  // one PKCS#1 v1.5 block of a 1024-bit key

}  // namespace

CKeysStorageComp::CKeysStorageComp()
    : devices_(std::make_unique<CPsaBackend>()), certStore_(std::make_unique<NssCertStore>()) {
    flow_.SetDeviceBackend(devices_.get());
    flow_.SetCertStore(certStore_.get());
}

CKeysStorageComp::~CKeysStorageComp() = default;

void CKeysStorageComp::SetDeviceBackend(std::unique_ptr<IDeviceBackend> b) {
    devices_ = std::move(b);
    flow_.SetDeviceBackend(devices_.get());
    devices_->SetCardModels(keys_.CardModels());
}

void CKeysStorageComp::SetCertStore(std::unique_ptr<ICertStore> s) {
    certStore_ = std::move(s);
    flow_.SetCertStore(certStore_.get());
}

int CKeysStorageComp::RemoveKey(const char* id) {
    if (id) flow_.KeyRemoved(keys_.Find(id));
    return keys_.RemoveKey(id);
}

void CKeysStorageComp::RemoveAll() {
    flow_.KeyRemoved(nullptr);
    keys_.RemoveAll();
}

int CKeysStorageComp::AddCardModel(const char* model) {
    const int code = keys_.AddCardModel(model);
    if (code == code::kOk) devices_->SetCardModels(keys_.CardModels());
    return code;
}

void CKeysStorageComp::EnsureBridge() {
    if (bridge_.status() != attach::kAttached) bridge_.Attach(site_);
}

OpResult CKeysStorageComp::SignOperation(const char* allowedKeyIds, const char* preselectedKeyId,
                                         const char* orderHex) {
    if (!devices_->TokenDriverInstalled() && !devices_->SmartCardDriverInstalled())
        return {code::kNoDriver};
    if (signingLocked_) return {code::kSigningLocked};
    if (keys_.Count() == 0) return {code::kNoSuchKey};
    if (SingleBar(allowedKeyIds)) return {code::kSingleBar};

    SignSession session(flow_);
    session.set_no_order(false);
    if (int code = session.SetUp(orderHex ? orderHex : "", allowedKeyIds ? allowedKeyIds : "",
                                 preselectedKeyId ? preselectedKeyId : ""))
        return {code};
    session.set_purpose(purpose::kOrder);
    session.set_silent(false);

    OpResult r;
    const bool ok = runSignDialog_ && runSignDialog_(session) == ui::kIdOk;
    flow_.EndRound();
    if (!ok) return {code::kCancelled};
    r.code = session.resultCode();
    r.fields.push_back(session.chosenKeyId());
    if (r.code == code::kOk) r.fields.push_back(HexEncode(session.signature()));
    if (r.code == code::kPinAndPukLocked)
        r.keyList = MapDeviceKeyList(keys_, session.code91Value());
    return r;
}

OpResult CKeysStorageComp::EncryptOperation(const char* allowedKeyIds, const char* preselectedKeyId,
                                            const char* loginText, int mode) {
    SignSession session(flow_);
    CProofOfPossesion message;
    signingLocked_ = true;

    if (!loginText || !*loginText) return {code::kInvalidArgument};
    if (keys_.Count() == 0) return {code::kNoSuchKey};
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
    flow_.SetRemember(true);
    flow_.ForgetPassword();

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
        r.keyList = MapDeviceKeyList(keys_, session.code91Value());
    return r;
}

OpResult CKeysStorageComp::DecryptOperation(const char* allowedKeyIds, const char* messageHex,
                                            int mode) {
    SignSession session(flow_);
    CProofOfPossesion message;

    if (mode != challengeMode_) return {code::kInvalidArgument};
    if (keys_.Count() == 0) return {code::kNoSuchKey};
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
    flow_.SetRemember(false);

    const int code = session.SigningAttempt(nullptr, nullptr);
    session.SetData({});
    flow_.ForgetPassword();
    flow_.WipeMaterial();

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
    if (code == code::kPinAndPukLocked) r.keyList = MapDeviceKeyList(keys_, session.code91Value());
    return r;
}

OpResult CKeysStorageComp::ChangeKeyLocation(const char* keyId) {
    std::string pathHex;
    const int code = vq::ChangeKeyLocation(keys_, keyId, pathHex);
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
            CChoseKeyDlg dialog(keys_);
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
