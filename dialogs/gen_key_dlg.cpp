#include "dialogs/gen_key_dlg.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTimer>
#include <QVBoxLayout>

#include "dialogs/password_dialog.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/cfg_reg.h"

namespace vq {
namespace {

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

CGenKeyDlg::~CGenKeyDlg() = default;

int CGenKeyDlg::ProgressValue() const {
    return bar_ ? bar_->value() : 0;
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

void CGenKeyDlg::OnOK() {
    if (generating_ || !flow_) return;
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
    flow_->Generate(*this, location_, name);
}

void CGenKeyDlg::OnCancel() {
    // Nobody cancels while the worker holds the device.
    if (generating_) return;
    CDialogBase::OnCancel();
}

void CGenKeyDlg::ShowMessage(int textId, ui::Icon icon, int captionId) {
    ui::Message(LoadText(textId), icon, ui::Buttons::kOk,
                captionId != 0 ? LoadText(captionId) : std::string());
}

bool CGenKeyDlg::AskPin(const std::string& keyName, SecureString& pin) {
    CPasswordDialog prompt(this);
    prompt.SetMode(CPasswordDialog::kPinMode);
    prompt.SetSubject(keyName);
    const int answer = prompt.DoModal();
    pin = prompt.Password();
    prompt.Wipe();
    return answer == ui::kIdOk;
}

void CGenKeyDlg::Close() {
    done(ui::kIdOk);
}

void CGenKeyDlg::SetGenerating(bool generating) {
    if (generating) {
        progress_ = 0;
        if (bar_) bar_->setValue(0);
        SetWorking(true);
        timer_->start();
    } else {
        timer_->stop();
        SetWorking(false);
    }
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

int RunKeyGenerationDialog(KeyGenerationFlow& flow) {
    CGenKeyDlg dialog;
    dialog.SetFlow(&flow);
    return dialog.DoModal();
}

void CGenKeyDlg::OnTimer() {
    if (bar_) bar_->setValue(progress_);
    progress_ = progress_ >= kProgressSteps - 1 ? 0 : progress_ + 1;
    if (flow_) flow_->Poll(*this);
}

}  // namespace vq
