#include "dialogs/devices/pin_puk_dlg.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dialogs/devices/pin_dlg.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

void Error(int text) {
    ui::Message(LoadText(text), ui::Icon::kError, ui::Buttons::kOk, LoadText(kTextMessageCaption));
}

}  // namespace

CPinPukDlg::CPinPukDlg(QWidget* parent) : CDialogBase(kPinPukDialogId, parent) {
    const int ids[4] = {kPukId, kPukRepeatId, kPinId, kPinRepeatId};
    for (int i = 0; i < 4; ++i) {
        edits_[i] = ControlAs<QLineEdit>(ids[i]);
        edits_[i]->setValidator(nullptr);
        edits_[i]->setFrame(false);
        edits_[i]->setMaxLength(i < 2 ? static_cast<int>(kPukLength)
                                      : static_cast<int>(kPinLength));
    }
}

CPinPukDlg::~CPinPukDlg() {
    Wipe();
}

void CPinPukDlg::Wipe() {
    for (SecureString* s : {&puk_, &pukRepeat_, &pin_, &pinRepeat_}) s->wipe();
    for (QLineEdit* e : edits_) WipeField(e);
}

void CPinPukDlg::OnInitDialog() {
    ControlAs<QLabel>(kInformationId)->setText(Qs(LoadText(kTextPinPukInformation)));
    ControlAs<QLabel>(226)->setText(Qs(LoadText(kTextNewPuk)));
    ControlAs<QLabel>(227)->setText(Qs(LoadText(kTextRepeatNewPuk)));
    ControlAs<QLabel>(228)->setText(Qs(LoadText(kTextNewPin)));
    ControlAs<QLabel>(229)->setText(Qs(LoadText(kTextRepeatNewPin)));
    ControlAs<QGroupBox>(261)->setTitle(Qs(LoadText(kTextPuk)));
    ControlAs<QGroupBox>(262)->setTitle(Qs(LoadText(kTextPin)));
    setWindowTitle(Qs(LoadText(kTextDeviceInitialization)));
    ControlAs<QPushButton>(2)->setText(Qs(LoadText(kTextCancelButton)));
    // The group boxes are drawn after the labels and edits were made: keep those on top.
    for (QLineEdit* e : edits_) e->raise();
    for (int id : {226, 227, 228, 229}) Control(id)->raise();
    edits_[2]->setFocus();
}

void CPinPukDlg::OnOK() {
    puk_ = SecureAnsi(edits_[0]->text());
    pukRepeat_ = SecureAnsi(edits_[1]->text());
    pin_ = SecureAnsi(edits_[2]->text());
    pinRepeat_ = SecureAnsi(edits_[3]->text());
    if (puk_.size() != kPukLength || pukRepeat_.size() != kPukLength) {
        Error(kTextWrongPukLength);
        return;
    }
    if (puk_.view() != pukRepeat_.view()) {
        Error(kTextPuksDiffer);
        return;
    }
    if (pin_.size() != kPinLength || pinRepeat_.size() != kPinLength) {
        Error(kTextWrongPinLength);
        return;
    }
    if (pin_.view() != pinRepeat_.view()) {
        Error(kTextPinsDiffer);
        return;
    }
    pukRepeat_.wipe();
    pinRepeat_.wipe();
    const std::string question = LoadText(kTextPrintPuk);
    if (ui::Message(question, ui::Icon::kNone, ui::Buttons::kYesNo, question) == ui::kIdYes)
        printResult_ = PrintPukLetter(puk_);
    // A cancelled or failed print does not stop the initialisation.
    done(ui::kIdOk);
}

}  // namespace vq
