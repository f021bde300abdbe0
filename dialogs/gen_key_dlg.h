// CGenKeyDlg: the key generation dialog. The user picks a smart card or a USB token, names the
// key and types the PIN; the dialog reports Generate and its 100 ms timer to the key generation
// flow and shows what the flow tells it: messages, the PIN prompt, the progress bar while the
// flow's worker generates the key pair on the device.
#pragma once

#include "dialogs/dialog_base.h"
#include "operations/key_generation.h"

class QTimer;
class QProgressBar;

namespace vq {

class CGenKeyDlg : public CDialogBase, public IKeyGenerationView {
    Q_OBJECT
  public:
    // Locations: radio indexes of the template. Only the device ones are offered.
    static constexpr int kLocationBank = keygen::kLocationBank;
    static constexpr int kLocationFile = keygen::kLocationFile;
    static constexpr int kLocationSmartCard = keygen::kLocationSmartCard;
    static constexpr int kLocationUsbToken = keygen::kLocationUsbToken;
    static constexpr int kTimerId = 101;
    static constexpr int kTimerPeriodMs = 100;
    static constexpr int kProgressSteps = 10;

    // Control ids.
    static constexpr int kIdName = 210;
    static constexpr int kIdBankRadio = 212;
    static constexpr int kIdFileRadio = 213;
    static constexpr int kIdProgress = 216;
    static constexpr int kIdSmartCardRadio = 217;
    static constexpr int kIdNameLabel = 227;
    static constexpr int kIdGroup = 235;
    static constexpr int kIdUsbRadio = 537;

    explicit CGenKeyDlg(QWidget* parent = nullptr);
    ~CGenKeyDlg() override;

    // The flow that Generate and the timer are reported to; without one Generate does nothing.
    void SetFlow(KeyGenerationFlow* flow) { flow_ = flow; }

    // Whether the worker is running (the controls are disabled).
    bool Generating() const { return generating_; }
    int ProgressValue() const;

    // IKeyGenerationView
    void ShowMessage(int textId, ui::Icon icon, int captionId) override;
    bool AskPin(const std::string& keyName, SecureString& pin) override;
    void SetGenerating(bool generating) override;
    void Close() override;

  protected:
    void OnInitDialog() override;
    void OnOK() override;  // the Generate button
    void OnCancel() override;

  private:
    void OnTimer();
    void SetWorking(bool working);

    KeyGenerationFlow* flow_ = nullptr;
    int location_ = kLocationUsbToken;
    bool generating_ = false;
    int progress_ = 0;
    QTimer* timer_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

// Runs the key generation dialog modally around `flow`; the dialog's result (1 OK).
int RunKeyGenerationDialog(KeyGenerationFlow& flow);

}  // namespace vq
