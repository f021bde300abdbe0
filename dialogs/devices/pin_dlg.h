// CPinDlg: a current device code and a new code typed twice (PIN change, PUK change, unblocking
// a smart card or a USB token). It checks only lengths and that the two copies agree; the device
// judges the codes.
#pragma once

#include "dialogs/dialog_base.h"
#include "dialogs/entry.h"
#include "storage/secure.h"

class QLineEdit;

namespace vq {

class CPinDlg : public CDialogBase {
    Q_OBJECT
  public:
    static constexpr int kChangePin = 0;
    static constexpr int kChangePuk = 1;
    static constexpr int kUnblockCard = 2;
    static constexpr int kUnblockToken = 5;
    static constexpr int kOldId = 202, kNewId = 203, kRepeatId = 204;

    explicit CPinDlg(QWidget* parent = nullptr);
    ~CPinDlg() override;

    // Before the run. A mode other than the four above behaves as kChangePin.
    void SetMode(int mode) { mode_ = mode; }
    // 1 for a USB token: modes 0 and 1 then name the current code more fully.
    void SetTokenFlag(int flag) { tokenFlag_ = flag; }
    int Mode() const { return mode_; }

    // After OK: the current code (PIN or PUK) and the new code.
    const SecureString& OldCode() const { return old_; }
    const SecureString& NewCode() const { return new_; }
    // Overwrites the codes and the fields, then empties them.
    void Wipe();

  protected:
    void OnInitDialog() override;
    void OnOK() override;

  private:
    int mode_ = kChangePin;
    int tokenFlag_ = 0;
    SecureString old_, new_, repeated_;
    QLineEdit* edits_[3] = {};
};

// The PIN-entry callback (PinEntryFn): runs CPinDlg in `mode` and on OK hands back the current
// code in `first` and the new code in `second`. Returns the dialog result (1 OK, 2 Cancel).
int PinEntry(int mode, SecureString& first, SecureString& second);
// The same with the device's token flag (modes 0 and 1 label the current code by it).
int PinEntry(int mode, int tokenFlag, SecureString& first, SecureString& second);

// Overwrites a field's text with '#' before emptying it, so the typed secret leaves the widget.
void WipeField(QLineEdit* edit);

}  // namespace vq
