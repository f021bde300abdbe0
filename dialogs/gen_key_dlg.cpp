#include "dialogs/gen_key_dlg.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "devices/psa.h"
#include "dialogs/password_dialog.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
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

// Controls hidden in this dialog: the other locations, the password rows and their keyboard
// buttons, the minimum-length note, expiry and usage count.
constexpr int kHiddenControls[] = {212, 213, 228, 218, 224, 229, 219, 225, 230, 220, 221, 222, 223};

// Pixel offsets of the rearranged location radios.
constexpr int kUsbWider = 20;
constexpr int kSmartCardShift = 30;

}  // namespace

CGenKeyDlg::CGenKeyDlg(QWidget* parent) : CDialogBase(kGenKeyDialogId, parent) {
    if (QWidget* frame = Control(kIdProgress)) {
        bar_ = new QProgressBar(frame);
        bar_->setRange(0, kProgressSteps);
        bar_->setValue(0);
        bar_->setTextVisible(false);
        auto* layout = new QVBoxLayout(frame);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(bar_);
        frame->setProperty("vq_kind", "progress");
    }
    timer_ = new QTimer(this);
    timer_->setInterval(kTimerPeriodMs);
    connect(timer_, &QTimer::timeout, this, [this] { OnTimer(); });
}

CGenKeyDlg::~CGenKeyDlg() {
    // A worker still running owns the device until it is done.
    if (worker_.joinable()) worker_.join();
    pin_.wipe();
}

int CGenKeyDlg::SetUp(const CKeysStorage& keys, CPSA& device, const char* parameters) {
    keys_ = &keys;
    device_ = &device;
    int minimum = 0;
    if (!parameters || std::sscanf(parameters, "|%d|", &minimum) != 1)
        return code::kInvalidArgument;
    minPasswordLength_ = minimum;
    return code::kOk;
}

int CGenKeyDlg::KindOfLocation(int location) {
    switch (location) {
        case kLocationBank:
            return kind::kBank;
        case kLocationFile:
            return kind::kFile;
        case kLocationSmartCard:
            return kind::kSmartCard;
        case kLocationUsbToken:
            return kind::kUsbToken;
    }
    return kind::kUnset;
}

int CGenKeyDlg::ProgressValue() const {
    return bar_ ? bar_->value() : 0;
}

int CGenKeyDlg::DeviceKind() const {
    return location_ == kLocationSmartCard ? kDeviceSmartCard : kDeviceUsbToken;
}

void CGenKeyDlg::OnInitDialog() {
    setWindowTitle(Qs(LoadText(kTextKeyGeneration)));
    const auto text = [this](int id, int textId) {
        if (auto* b = ControlAs<QAbstractButton>(id)) b->setText(Qs(LoadText(textId)));
    };
    if (QWidget* g = Control(kIdGroup)) g->setProperty("title", Qs(LoadText(kTextNewKeyLocation)));
    text(kIdBankRadio, kTextBankRepository);
    text(kIdFileRadio, kTextLocalStorage);
    text(kIdSmartCardRadio, kTextSmartCard);
    text(kIdUsbRadio, kTextUsbCryptographicDevice);
    text(1, kTextGenerateButton);
    text(2, kTextCancelButton);
    if (QWidget* l = Control(kIdNameLabel))
        l->setProperty("text", Qs(LoadText(kTextEnterKeyNameLabel)));
    move(300, 300);

    for (int id : kHiddenControls)
        if (QWidget* w = Control(id)) w->hide();

    // The USB radio takes the local-storage radio's place; the smart-card radio moves right.
    QWidget* usb = Control(kIdUsbRadio);
    QWidget* card = Control(kIdSmartCardRadio);
    if (QWidget* file = Control(kIdFileRadio); file && usb)
        usb->setGeometry(file->x(), file->y(), file->width() + kUsbWider, file->height());
    if (card) card->move(card->x() + kSmartCardShift, card->y());

    // Generate and Cancel sit right below the key name row (the progress bar row).
    QWidget* progress = Control(kIdProgress);
    QWidget* ok = Control(1);
    QWidget* cancel = Control(2);
    if (progress && ok && cancel) {
        const int gap = MapDialogRect(QRect(0, 0, 0, 6)).height();
        const int top = progress->geometry().bottom() + gap;
        ok->move(ok->x(), top);
        cancel->move(cancel->x(), top);
        setFixedSize(width(),
                     cancel->geometry().bottom() + MapDialogRect(QRect(0, 0, 0, 7)).height());
    }

    // Driver presence decides which device locations can be chosen and which is preselected.
    const CKeywrightUtils drivers;
    const bool tokens = drivers.UsbTokensEnabled();
    const bool cards = drivers.SmartCardsEnabled();
    if (usb) usb->setEnabled(tokens);
    if (card) card->setEnabled(cards);
    location_ = (cards && !tokens) ? kLocationSmartCard : kLocationUsbToken;
    if (auto* r = ControlAs<QRadioButton>(location_ == kLocationSmartCard ? kIdSmartCardRadio
                                                                          : kIdUsbRadio))
        r->setChecked(true);
    if (QWidget* name = Control(kIdName)) name->setFocus();
}

int CGenKeyDlg::CheckName(const std::string& name) const {
    if (name.empty()) return kTextEnterKeyName;
    if (name.size() > kMaxNameLength) return kTextKeyNameTooLong;
    if (keys_) {
        auto& index = const_cast<CKeysStorage&>(*keys_);
        for (std::size_t i = 0; i < index.Count(); ++i)
            if (index.At(i)->name == name) return kTextKeyNameInUse;
    }
    for (unsigned char c : name)
        if (IsPolishLetter(c)) return kTextKeyNameCharacters;
    return 0;
}

void CGenKeyDlg::OnOK() {
    if (generating_) return;
    // 1. Field values.
    if (auto* card = ControlAs<QRadioButton>(kIdSmartCardRadio); card && card->isChecked())
        location_ = kLocationSmartCard;
    else if (auto* usb = ControlAs<QRadioButton>(kIdUsbRadio); usb && usb->isChecked())
        location_ = kLocationUsbToken;
    const auto* edit = ControlAs<QLineEdit>(kIdName);
    const QByteArray typed = edit ? edit->text().toUtf8() : QByteArray();
    const std::string_view utf8(typed.constData(), static_cast<std::size_t>(typed.size()));
    std::optional<std::string> name = cp::Utf8ToAnsi(utf8);
    // The conversion puts '?' for what the code page lacks: only an exact round trip is a name.
    if (name && cp::AnsiToUtf8(*name) != utf8) name.reset();

    // 2. Name checks; a name the code page cannot hold counts as one with wrong characters.
    const int problem = name ? CheckName(*name) : kTextKeyNameCharacters;
    if (problem != 0) {
        ui::Message(LoadText(problem));
        return;
    }
    name_ = *name;
    if (!device_) {
        EndWith(code::kInvalidArgument);
        return;
    }

    // 3. Device state.
    CK_SLOT_ID slot = 0;
    int code = device_->SelectDevice(DeviceKind(), &slot);
    if (code == code::kOk) code = device_->ReadTokenState();
    if (code != code::kOk) {
        EndWith(code);
        return;
    }
    if (!device_->tokenReady() || !device_->userPinInitialised()) {
        ui::Message(LoadText(kTextInitializeDeviceFirst), ui::Icon::kNone, ui::Buttons::kOk,
                    LoadText(kTextDeviceInitialization));
        code = initialise_ ? initialise_() : code::kNotInitialised;
        if (code != code::kOk) {
            EndWith(code);
            return;
        }
    } else if (device_->userPinLocked()) {
        if (device_->pukLocked()) {
            device_->ListKeys(code91_);
            EndWith(code::kPinAndPukLocked);
        } else {
            EndWith(code::kPinLocked);
        }
        return;
    }

    // 4. The PIN.
    CPasswordDialog prompt(this);
    prompt.SetMode(CPasswordDialog::kPinMode);
    prompt.SetSubject(name_);
    const int answer = prompt.DoModal();
    pin_ = prompt.Password();
    prompt.Wipe();
    if (answer != ui::kIdOk) {
        pin_.wipe();
        EndWith(code::kCancelled);
        return;
    }
    StartGeneration();
}

void CGenKeyDlg::OnCancel() {
    // Nobody cancels while the worker holds the device.
    if (generating_) return;
    CDialogBase::OnCancel();
}

void CGenKeyDlg::EndWith(int code) {
    if (device_) {
        if (device_->session() != 0) device_->CloseSession();
        device_->UnloadModule();
    }
    result_ = code;
    done(ui::kIdOk);
}

void CGenKeyDlg::SetWorking(bool working) {
    generating_ = working;
    setProperty("vq_busy", working);
    // Everything that could start another device operation or close the dialog.
    for (int id : {1, 2, kIdSmartCardRadio, kIdUsbRadio, kIdBankRadio, kIdFileRadio, kIdName, 218,
                   219, 224, 225})
        if (QWidget* w = Control(id)) w->setEnabled(!working);
    if (!working) {
        // Driver presence still decides which device radios can be chosen.
        const CKeywrightUtils drivers;
        if (QWidget* usb = Control(kIdUsbRadio)) usb->setEnabled(drivers.UsbTokensEnabled());
        if (QWidget* card = Control(kIdSmartCardRadio))
            card->setEnabled(drivers.SmartCardsEnabled());
    }
    if (QWidget* progress = Control(kIdProgress)) progress->setVisible(working);
}

void CGenKeyDlg::StartGeneration() {
    // The worker selects the device again; with the session opened here that needs no choice,
    // which would have to show a window on the worker thread.
    if (device_->session() == 0) {
        CK_SLOT_ID slot = 0;
        if (int code = device_->SelectDevice(DeviceKind(), &slot)) {
            pin_.wipe();
            EndWith(code);
            return;
        }
    }
    result_ = code::kOk;
    privateKey_.clear();
    publicKey_.clear();
    fingerprint_.clear();
    code91_.clear();
    progress_ = 0;
    if (bar_) bar_->setValue(0);
    finished_.store(false, std::memory_order_relaxed);
    SetWorking(true);
    timer_->start();
    worker_ = std::thread([this] { RunWorker(); });
}

void CGenKeyDlg::RunWorker() {
    CPSA& device = *device_;
    const bool card = location_ == kLocationSmartCard;
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
        } else if (device.pukLocked() && (device.userPinLocked() || b == code::kPinLocked)) {
            device.ListKeys(code91_);
            code = code::kPinAndPukLocked;
        } else if (device.userPinLocked() || b == code::kPinLocked) {
            code = code::kPinLocked;
        } else {
            code = b;
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

void CGenKeyDlg::OnTimer() {
    if (bar_) bar_->setValue(progress_);
    progress_ = progress_ >= kProgressSteps - 1 ? 0 : progress_ + 1;
    if (!finished_.load(std::memory_order_acquire)) return;
    timer_->stop();
    if (worker_.joinable()) worker_.join();
    finished_.store(false, std::memory_order_relaxed);
    SetWorking(false);

    const int code = result_;
    if (code == code::kOk) {
        done(ui::kIdOk);
        return;
    }
    if (code == code::kCancelled) return;
    if (location_ == kLocationSmartCard) {
        int text = 0;
        switch (code) {
            case code::kWrongPin:
                text = kTextIncorrectPin;
                break;
            case code::kNoReader:
            case code::kNoCard:
            case code::kNoReader93:
            case code::kNoReader94:
            case code::kNoReader95:
                text = kTextInsertCard;
                break;
            case code::kKeyExistsOnDevice:
                text = kTextKeyNameInUse;
                break;
        }
        if (text != 0) {
            ui::Message(LoadText(text));
            return;
        }
    }
    done(ui::kIdOk);
}

}  // namespace vq
