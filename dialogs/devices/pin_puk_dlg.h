// CPinPukDlg: the first PUK and PIN of a device being initialised, each typed twice, and the
// offer to print the PUK on a letter for the user.
#pragma once

#include "dialogs/dialog_base.h"
#include "storage/secure.h"

class QLineEdit;

namespace vq::ui {
class PrintTarget;
}

namespace vq {

class CPinPukDlg : public CDialogBase {
    Q_OBJECT
  public:
    static constexpr int kPukId = 202, kPukRepeatId = 203, kPinId = 204, kPinRepeatId = 205;
    static constexpr int kInformationId = 247;
    static constexpr std::size_t kPukLength = 8;
    static constexpr std::size_t kPinLength = 4;

    explicit CPinPukDlg(QWidget* parent = nullptr);
    ~CPinPukDlg() override;

    // After OK (the letter has been printed if the user asked for it).
    const SecureString& NewPuk() const { return puk_; }
    const SecureString& NewPin() const { return pin_; }
    // What printing the letter gave: -1 not asked for, else the print result (1 printed,
    // 2 cancelled, 3 failed).
    int PrintResult() const { return printResult_; }
    void Wipe();

  protected:
    void OnInitDialog() override;
    void OnOK() override;

  private:
    SecureString puk_, pukRepeat_, pin_, pinRepeat_;
    QLineEdit* edits_[4] = {};
    int printResult_ = -1;
};

// Prints the PUK letter through the print dialog: 1 printed, 2 cancelled, 3 the job failed.
int PrintPukLetter(const SecureString& puk);
// Draws the letter on one page of `target` (used by PrintPukLetter; tests draw on an image).
bool DrawPukLetter(ui::PrintTarget& target, const SecureString& puk);
}  // namespace vq
