#include "operations/sign_flow.h"

#include "dialogs/entry.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "storage/code_table.h"
#include "storage/codes.h"
#include "storage/key_file.h"

namespace vq {
namespace {

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

constexpr std::size_t kPasswordBuffer = 1024;

}  // namespace

SignFlow::~SignFlow() {
    WipeMaterial();
    cachedPassword_.wipe();
}

bool SignFlow::SmartCardDriverInstalled() const {
    return devices_->SmartCardDriverInstalled();
}
bool SignFlow::TokenDriverInstalled() const {
    return devices_->TokenDriverInstalled();
}

void SignFlow::ForgetPassword() {
    cachedPassword_.wipe();
    passwordCached_ = false;
}

void SignFlow::EndRound() {
    if (!remember_) WipeMaterial();
    // A failed attempt left the key prepared: a device must not stay open after the dialog.
    if (currentKey_ && IsDeviceKind(currentKey_->kind)) devices_->LogoutAndClose();
    currentKey_ = nullptr;
}

void SignFlow::KeyRemoved(const CKeyStorage* key) {
    if (!key || currentKey_ == key) currentKey_ = nullptr;
}

void SignFlow::WipeMaterial() {
    keyMaterial_.wipe();
    materialKeyId_.clear();
}

bool SignFlow::MaterialCached(const CKeyStorage& key) const {
    // Cached material and password serve only the key they were prepared for.
    return !keyMaterial_.empty() && passwordCached_ && materialKeyId_ == key.id;
}

void SignFlow::ErrorDisplay(int code, bool reset) {
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
        keys_.StoreLocation(key->id.c_str(), "");
        if (newPathKeyId_ == key->id) {
            locationChanged_ = false;
            newPath_.clear();
            newPathKeyId_.clear();
        }
    }
    if (meaning.text != 0) ui::Message(LoadText(meaning.text), meaning.icon);
}

int SignFlow::PrepareKeyFile(CKeyStorage& key) {
    std::string stored;
    if (locationChanged_ && newPathKeyId_ == key.id) {
        // Chosen in the file dialog earlier in this signing: no need to ask again.
        stored = newPath_;
    } else {
        std::optional<std::string> location;
        keys_.Locations().GetParam(key.id.c_str(), location);
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

int SignFlow::Prepare(const std::string& keyId, bool silent, std::string& code91Value) {
    CKeyStorage* key = keys_.Find(keyId);
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

int SignFlow::DevicePinCheck(bool silent, std::string& code91Value) {
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

int SignFlow::SignStep(int mode, const SecureString* password, std::span<const unsigned char> data,
                       SecureBytes& result, std::string& code91Value, bool silent,
                       bool& continueSigning) {
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

int SignFlow::Finish() {
    CKeyStorage* key = currentKey_;
    if (locationChanged_ && key) {
        keys_.StoreLocation(key->id.c_str(), newPath_.c_str());
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

}  // namespace vq
