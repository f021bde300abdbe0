#include "dialogs/devices/pin_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

struct ModeTexts {
    int old, oldToken, fresh, repeat, title;
    int maxOld, maxNew;
};

ModeTexts TextsFor(int mode) {
    switch (mode) {
        case CPinDlg::kChangePuk:
            return {kTextPuk, kTextEnterPuk, kTextNewPuk, kTextRepeatNewPuk, kTextChangePuk, 8, 8};
        case CPinDlg::kUnblockCard:
            return {kTextPuk, kTextPuk, kTextNewPin, kTextRepeatNewPin, kTextUnblockCard, 8, 4};
        case CPinDlg::kUnblockToken:
            return {kTextEnterPuk,
                    kTextEnterPuk,
                    kTextNewPin,
                    kTextRepeatNewPin,
                    kTextUnblockUsbDevice,
                    8,
                    4};
        default:
            return {
                kTextPin, kTextEnterCurrentPin, kTextNewPin, kTextRepeatNewPin, kTextChangePin, 4,
                4};
    }
}

int Error(int text) {
    return ui::Message(LoadText(text), ui::Icon::kError, ui::Buttons::kOk,
                       LoadText(kTextMessageCaption));
}

}  // namespace

void WipeField(QLineEdit* edit) {
    if (!edit) return;
    edit->setText(QString(edit->text().size(), QChar('#')));
    edit->clear();
}

CPinDlg::CPinDlg(QWidget* parent) : CDialogBase(kPinDialogId, parent) {
    const int ids[3] = {kOldId, kNewId, kRepeatId};
    for (int i = 0; i < 3; ++i) {
        edits_[i] = ControlAs<QLineEdit>(ids[i]);
        // Any character is taken and shown as '*'.
        edits_[i]->setValidator(nullptr);
        edits_[i]->setInputMask({});
    }
}

CPinDlg::~CPinDlg() {
    Wipe();
}

void CPinDlg::Wipe() {
    for (SecureString* s : {&old_, &new_, &repeated_}) s->wipe();
    for (QLineEdit* e : edits_) WipeField(e);
}

void CPinDlg::OnInitDialog() {
    const ModeTexts t = TextsFor(mode_);
    const bool token = tokenFlag_ == 1;
    ControlAs<QLabel>(226)->setText(Qs(LoadText(token ? t.oldToken : t.old)));
    ControlAs<QLabel>(227)->setText(Qs(LoadText(t.fresh)));
    ControlAs<QLabel>(228)->setText(Qs(LoadText(t.repeat)));
    setWindowTitle(Qs(LoadText(t.title)));
    edits_[0]->setMaxLength(t.maxOld);
    edits_[1]->setMaxLength(t.maxNew);
    edits_[2]->setMaxLength(t.maxNew);
    ControlAs<QPushButton>(2)->setText(Qs(LoadText(kTextCancelButton)));
    edits_[0]->setFocus();
}

void CPinDlg::OnOK() {
    old_ = SecureAnsi(edits_[0]->text());
    new_ = SecureAnsi(edits_[1]->text());
    repeated_ = SecureAnsi(edits_[2]->text());
    const auto atLeast = [](const SecureString& s, std::size_t n) { return s.size() >= n; };
    const bool all4 = atLeast(old_, 4) && atLeast(new_, 4) && atLeast(repeated_, 4);
    switch (mode_) {
        case kChangePuk:
            if (!atLeast(old_, 8) || !atLeast(new_, 8) || !atLeast(repeated_, 8)) {
                Error(kTextPukTooShort);
                return;
            }
            break;
        case kUnblockCard:
            if (!atLeast(old_, 8)) {
                Error(kTextPukTooShort);
                return;
            }
            if (!atLeast(new_, 4) || !atLeast(repeated_, 4)) {
                Error(kTextPinTooShort);
                return;
            }
            break;
        case kUnblockToken:
            break;  // the token judges the lengths itself
        default:
            if (!all4) {
                Error(kTextPinTooShort);
                return;
            }
            break;
    }
    if (new_.view() != repeated_.view()) {
        Error(mode_ == kChangePuk ? kTextPuksDiffer : kTextPinsDiffer);
        return;
    }
    repeated_.wipe();
    done(ui::kIdOk);
}

int PinEntry(int mode, int tokenFlag, SecureString& first, SecureString& second) {
    CPinDlg dialog;
    dialog.SetMode(mode);
    dialog.SetTokenFlag(tokenFlag);
    const int result = dialog.DoModal();
    if (result == ui::kIdOk) {
        first = dialog.OldCode();
        second = dialog.NewCode();
    }
    dialog.Wipe();
    return result;
}

int PinEntry(int mode, SecureString& first, SecureString& second) {
    return PinEntry(mode, 0, first, second);
}

}  // namespace vq
