#include "operations/key_generation.h"

#include <cstdio>

#include "devices/psa.h"
#include "resources/text_ids.h"
#include "storage/code_table.h"
#include "storage/codes.h"
#include "storage/key_storage.h"

namespace vq {
namespace {

// The 18 Polish letters as Windows-1250 bytes: key names on devices keep to plain characters.
bool IsPolishLetter(unsigned char c) {
    switch (c) {
        case 0x8C:
        case 0x8F:
        case 0x9C:
        case 0x9F:
        case 0xA3:
        case 0xA5:
        case 0xAF:
        case 0xB3:
        case 0xB9:
        case 0xBF:
        case 0xC6:
        case 0xCA:
        case 0xD1:
        case 0xD3:
        case 0xE6:
        case 0xEA:
        case 0xF1:
        case 0xF3:
            return true;
    }
    return false;
}

}  // namespace

int KindOfLocation(int location) {
    switch (location) {
        case keygen::kLocationBank:
            return kind::kBank;
        case keygen::kLocationFile:
            return kind::kFile;
        case keygen::kLocationSmartCard:
            return kind::kSmartCard;
        case keygen::kLocationUsbToken:
            return kind::kUsbToken;
    }
    return kind::kUnset;
}

int KeyGenerationFlow::SetUp(const char* parameters) {
    int minimum = 0;
    if (!parameters || std::sscanf(parameters, "|%d|", &minimum) != 1)
        return code::kInvalidArgument;
    minPasswordLength_ = minimum;
    return code::kOk;
}

KeyGenerationFlow::~KeyGenerationFlow() {
    if (worker_.joinable()) worker_.join();
    pin_.wipe();
}

::vq::DeviceKind KeyGenerationFlow::DeviceKind() const {
    return location_ == keygen::kLocationSmartCard ? DeviceKind::SmartCard : DeviceKind::UsbToken;
}

int KeyGenerationFlow::CheckName(const std::string& name) const {
    if (name.empty()) return kTextEnterKeyName;
    if (name.size() > keygen::kMaxNameLength) return kTextKeyNameTooLong;
    for (std::size_t i = 0; i < keys_.Count(); ++i)
        if (keys_.At(i)->name == name) return kTextKeyNameInUse;
    for (unsigned char c : name)
        if (IsPolishLetter(c)) return kTextKeyNameCharacters;
    return 0;
}

void KeyGenerationFlow::Generate(IKeyGenerationView& view, int location,
                                 const std::optional<std::string>& name) {
    if (Running()) return;
    location_ = location;
    // A name the code page cannot hold counts as one with wrong characters.
    const int problem = name ? CheckName(*name) : kTextKeyNameCharacters;
    if (problem != 0) {
        view.ShowMessage(problem, ui::Icon::kError, 0);
        return;
    }
    name_ = *name;

    // The device's state decides whether it can take a key now.
    CK_SLOT_ID slot = 0;
    int code = device_.SelectDevice(DeviceKind(), &slot);
    if (code == code::kOk) code = device_.ReadTokenState();
    if (code != code::kOk) {
        EndWith(view, code);
        return;
    }
    code = ClassifyDeviceState(device_.tokenState(), DeviceCode::UserPin);
    if (code == code::kNotInitialised) {
        view.ShowMessage(kTextInitializeDeviceFirst, ui::Icon::kNone, kTextDeviceInitialization);
        code = initialise_ ? initialise_() : code::kNotInitialised;
    } else if (code == code::kPinAndPukLocked) {
        device_.ListKeys(code91_);
    }
    if (code != code::kOk) {
        EndWith(view, code);
        return;
    }

    if (!view.AskPin(name_, pin_)) {
        pin_.wipe();
        EndWith(view, code::kCancelled);
        return;
    }
    Start(view);
}

void KeyGenerationFlow::EndWith(IKeyGenerationView& view, int code) {
    if (device_.session() != 0) device_.CloseSession();
    device_.UnloadModule();
    result_ = code;
    view.Close();
}

void KeyGenerationFlow::Start(IKeyGenerationView& view) {
    // The worker selects the device again; with the session opened here that needs no choice,
    // which would have to show a window on the worker thread.
    if (device_.session() == 0) {
        CK_SLOT_ID slot = 0;
        if (int code = device_.SelectDevice(DeviceKind(), &slot)) {
            pin_.wipe();
            EndWith(view, code);
            return;
        }
    }
    result_ = code::kOk;
    privateKey_.clear();
    publicKey_.clear();
    fingerprint_.clear();
    code91_.clear();
    finished_.store(false, std::memory_order_relaxed);
    view.SetGenerating(true);
    worker_ = std::thread([this] { RunWorker(); });
}

void KeyGenerationFlow::RunWorker() {
    CPSA& device = device_;
    const bool card = location_ == keygen::kLocationSmartCard;
    CK_SLOT_ID slot = 0;
    int code = device.SelectDevice(DeviceKind(), &slot);
    if (code == code::kOk) {
        const int b = device.LoginUser(&pin_);
        pin_.wipe();
        if (b == code::kOk) {
            code = device.GenerateDeviceKeyPair(name_.c_str(), keySize_, publicKey_, fingerprint_);
            if (code == code::kKeyPairGenFailed)
                code = card ? code::kCardGenFailed : code::kTokenGenFailed;
        } else if (int read = device.ReadTokenState(); read != code::kOk) {
            code = read;
        } else {
            const int lock = ClassifyFailedLogin(device.tokenState(), DeviceCode::UserPin, b);
            if (lock == code::kPinAndPukLocked) device.ListKeys(code91_);
            code = lock != code::kOk ? lock : b;
        }
    }
    pin_.wipe();
    result_ = code;
    if (code == code::kOk) privateKey_ = "NULL";
    if (device.session() != 0) device.CloseSession();
    device.UnloadModule();
    // Last: everything above is visible to whoever sees the flag.
    finished_.store(true, std::memory_order_release);
}

bool KeyGenerationFlow::Poll(IKeyGenerationView& view) {
    if (!finished_.load(std::memory_order_acquire)) return false;
    if (worker_.joinable()) worker_.join();
    finished_.store(false, std::memory_order_relaxed);
    view.SetGenerating(false);

    // What the user can correct keeps the window open: silently, or on a smart card after its
    // text. Everything else is final.
    const CodeMeaning meaning = MeaningOf(result_);
    if (meaning.generationStays) return true;
    if (location_ == keygen::kLocationSmartCard && meaning.cardGenerationText != 0) {
        view.ShowMessage(meaning.cardGenerationText, ui::Icon::kError, 0);
        return true;
    }
    view.Close();
    return true;
}

}  // namespace vq
