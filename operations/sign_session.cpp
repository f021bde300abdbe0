#include "operations/sign_session.h"

#include "resources/text_ids.h"
#include "storage/code_table.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {

SignSession::~SignSession() = default;

int SignSession::SetUp(std::string_view orderHex, std::string_view keyFilter,
                       std::string_view preselectedKeyId) {
    filter_ = keyFilter;
    preselected_ = preselectedKeyId;
    passwordInDialog_ = ops_.DialogVariant();
    if (noOrder_) return code::kOk;
    order_.clear();
    if (HexDecode(orderHex, order_) != 0) return code::kInvalidArgument;
    RecopyOrder();
    return code::kOk;
}

void SignSession::RecopyOrder() {
    data_.assign(order_.begin(), order_.end());
}

void SignSession::SetData(std::span<const unsigned char> bytes) {
    data_.assign(bytes.begin(), bytes.end());
}

bool SignSession::Offered(const CKeyStorage& key) const {
    return filter_.find("|" + key.id + "|") != std::string::npos;
}

std::vector<std::string> SignSession::NumberOfferedKeys(int& preselected) {
    std::vector<std::string> texts;
    preselected = -1;
    CKeysStorage& keys = ops_.KeySet();
    for (std::size_t i = 0; i < keys.Count(); ++i) {
        CKeyStorage* key = keys.At(i);
        // A position left from an earlier dialog must not name an entry of this one.
        key->listPosition = -1;
        if (!Offered(*key)) continue;
        key->listPosition = static_cast<int>(texts.size());
        if (preselected < 0 && key->id == preselected_) preselected = key->listPosition;
        texts.push_back(key->DisplayText());
    }
    return texts;
}

CKeyStorage* SignSession::KeyAtEntry(int entry, int& index) {
    index = -1;
    if (entry < 0) return nullptr;
    CKeysStorage& keys = ops_.KeySet();
    for (std::size_t i = 0; i < keys.Count(); ++i) {
        CKeyStorage* key = keys.At(i);
        if (key->listPosition == entry && Offered(*key)) {
            index = static_cast<int>(i);
            return key;
        }
    }
    return nullptr;
}

void SignSession::SelectKeyById() {
    CKeysStorage& keys = ops_.KeySet();
    for (std::size_t i = 0; i < keys.Count(); ++i) {
        if (keys.At(i)->id == preselected_) set_chosen(static_cast<int>(i), keys.At(i)->id);
    }
}

void SignSession::Select(int index) {
    if (index != selected_) keyPrepared_ = false;
    selected_ = index;
    CKeyStorage* key = index >= 0 ? ops_.KeySet().At(static_cast<std::size_t>(index)) : nullptr;
    chosenKeyId_ = key ? key->id : std::string();
}

int SignSession::SigningAttempt(SecureString* typedPassword, ISignView* view) {
    auto end = [&](int code) {
        resultCode_ = code;
        return code;
    };
    if (data_.empty()) return end(code::kInvalidArgument);
    if (selected_ < -1) return end(code::kSingleBar);
    CKeyStorage* key =
        selected_ >= 0 ? ops_.KeySet().At(static_cast<std::size_t>(selected_)) : nullptr;
    if (!key) return end(code::kKindNotUsable);

    code91_.clear();
    if (!keyPrepared_) {
        const int code = ops_.Prepare(key->id, silent_, code91_);
        if (code != code::kOk) return end(code);
        keyPrepared_ = true;
    }

    // With the password typed in the dialog, take it and wipe the field at once.
    const bool fromDialog = passwordInDialog() && !silent_ && typedPassword;
    SecureString password;
    if (fromDialog) {
        password = *typedPassword;
        if (view) view->WipePasswordField();
    }

    int code = code::kWrongPassword;
    bool continueSigning = true;
    signature_.clear();
    code91_.clear();
    while (continueSigning && MeaningOf(code).repeatsStep) {
        code = ops_.SignStep(purpose_, fromDialog ? &password : nullptr, data_, signature_, code91_,
                             silent_, continueSigning);
        if (MeaningOf(code).usesUpPassword) {
            if (!silent_) {
                if (typedPassword) typedPassword->wipe();
                if (view) view->FocusPasswordField();
            }
            break;
        }
        if (code == code::kWrongPin && fromDialog) {
            if (view) view->FocusPasswordField();
            break;
        }
    }
    if (code != code::kOk) {
        keyPrepared_ = false;
        return end(code);
    }
    return end(ops_.Finish());
}

bool SignSession::SignPressed(int index, SecureString& typedPassword, ISignView& view) {
    CKeyStorage* key = index >= 0 ? ops_.KeySet().At(static_cast<std::size_t>(index)) : nullptr;
    if (!key) return false;
    if (key->kind == kind::kSmartCard && !ops_.SmartCardDriverInstalled()) {
        view.ShowMessage(kTextInstallReaderDriver, ui::Icon::kError);
        return false;
    }
    if (key->kind == kind::kUsbToken && !ops_.TokenDriverInstalled()) {
        view.ShowMessage(kTextInstallTokenDriver, ui::Icon::kError);
        return false;
    }
    set_chosen(index, key->id);
    while (true) {
        const CodeMeaning meaning = MeaningOf(SigningAttempt(&typedPassword, &view));
        // A forgotten location: the next attempt asks for the file.
        if (meaning.signDialog == SignDialogAction::kRetry) continue;
        if (meaning.signDialogText != 0) view.ShowMessage(meaning.signDialogText, meaning.icon);
        return meaning.signDialog == SignDialogAction::kClose;
    }
}

}  // namespace vq
