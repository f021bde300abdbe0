#include "dialogs/password_dialog.h"

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dialogs/keyboard_dlg.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {

CPasswordDialog::CPasswordDialog(QWidget* parent) : CDialogBase(kPasswordDialogId, parent) {
    edit_ = ControlAs<QLineEdit>(201);
    edit_->setMaxLength(kMaxPasswordLength);
    if (auto* b = ControlAs<QPushButton>(3)) {
        b->setIcon(KeyboardIcon());
        b->setIconSize(QSize(20, 14));
    }
}

CPasswordDialog::~CPasswordDialog() {
    Wipe();
}

void CPasswordDialog::SetPassword(std::string_view password) {
    password_.assign(password.substr(0, kMaxPasswordLength));
    edit_->setText(Qs(password_.view()));
}

void CPasswordDialog::Wipe() {
    password_.assign("########");
    password_.wipe();
    if (edit_) {
        edit_->setText("########");
        edit_->clear();
    }
}

void CPasswordDialog::OnInitDialog() {
    const bool pin = mode_ == kPinMode;
    if (pin)
        prompt_ = LoadText(kTextTypePin);
    else if (mode_ == kLoginMode)
        prompt_ = LoadText(kTextLoginPassword);
    else
        prompt_ = LoadText(kTextEnterKeyPassword) + " " + subject_;
    if (pin) edit_->setMaxLength(kPinLength);
    setWindowTitle(Qs(LoadText(pin ? kTextEnterPin : kTextPassword)));
    ControlAs<QPushButton>(1)->setText(Qs(LoadText(kTextOk)));
    ControlAs<QPushButton>(2)->setText(Qs(LoadText(kTextCancelButton)));

    // The prompt gets two lines when it is wider than its label; everything below moves with it.
    auto* label = ControlAs<QLabel>(235);
    label->setText(Qs(prompt_));
    const QFontMetrics fm(edit_->font());
    const bool twoLines = fm.horizontalAdvance(label->text()) > label->width();
    label->resize(label->width(), (twoLines ? 2 : 1) * fm.height() + 4);
    const int editTop = label->y() + label->height() + 5;
    QWidget* keyboard = Control(3);
    edit_->move(edit_->x(), editTop);
    keyboard->move(keyboard->x(), editTop);
    const int buttonsTop = keyboard->y() + keyboard->height() + 10;
    QWidget* ok = Control(1);
    QWidget* cancel = Control(2);
    ok->move(ok->x(), buttonsTop);
    cancel->move(cancel->x(), buttonsTop);
    setFixedSize(width(), buttonsTop + ok->height() + 10);
    edit_->setFocus();
}

void CPasswordDialog::TakeText() {
    password_ = SecureAnsi(edit_->text());
}

void CPasswordDialog::OnOK() {
    TakeText();
    if (mode_ == kPinMode) {
        if (password_.size() < static_cast<std::size_t>(kPinLength)) {
            ui::Message(LoadText(kTextPinTooShortMinimum), ui::Icon::kError, ui::Buttons::kOk,
                        LoadText(kTextEnterPin));
            return;
        }
    } else if (password_.empty()) {
        ui::Message(LoadText(kTextPasswordTooShort), ui::Icon::kError, ui::Buttons::kOk,
                    LoadText(kTextPassword));
        return;
    }
    done(ui::kIdOk);
}

void CPasswordDialog::OnCancel() {
    TakeText();
    done(ui::kIdCancel);
}

void CPasswordDialog::OnCommand(int id) {
    if (id != 3) return;
    CKeyboardDlg keyboard(this);
    keyboard.SetMaxLength(static_cast<std::size_t>(edit_->maxLength()));
    if (!edit_->text().isEmpty()) keyboard.SetText(SecureAnsi(edit_->text()).view());
    if (keyboard.DoModal() != ui::kIdOk) return;
    password_ = keyboard.Text();
    edit_->setText(Qs(password_.view()));
    OnOK();
}

}  // namespace vq
