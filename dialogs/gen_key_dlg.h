// CGenKeyDlg: the key generation dialog. The user picks a smart card or a USB token, names the
// key and types the PIN; the key pair is generated on the device by a worker thread while a
// progress bar runs.
//
// Threads: the worker runs only device calls. It writes its outputs (result code, public key,
// fingerprint, private key text, key list) and then, last, the finished flag; the user-interface
// thread reads them only after its 100 ms timer has seen the flag. Every control that could start
// another device operation is disabled meanwhile, so the device object has one user at a time.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "dialogs/dialog_base.h"
#include "storage/secure.h"

class QTimer;
class QProgressBar;

namespace vq {

class CKeysStorage;
class CPSA;

class CGenKeyDlg : public CDialogBase {
    Q_OBJECT
  public:
    // Locations: radio indexes of the template. Only the device ones are offered.
    static constexpr int kLocationBank = 0;
    static constexpr int kLocationFile = 1;
    static constexpr int kLocationSmartCard = 2;
    static constexpr int kLocationUsbToken = 3;
    static constexpr int kMaxNameLength = 35;
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

    // Reads the GenerateKey argument as "|%d|": 1 when no number follows a leading bar, else 0.
    int SetUp(const CKeysStorage& keys, CPSA& device, const char* parameters);
    void SetKeySize(int bits) { keySize_ = bits; }
    void SetDialogVariant(int variant) { variant_ = variant; }
    // The initialisation of a device that is not initialised; it works on the open device and
    // leaves it open. Its non-zero result ends the dialog with that code.
    void SetInitialise(std::function<int()> initialise) { initialise_ = std::move(initialise); }

    // Outputs, read after the dialog closed with OK.
    int ResultCode() const { return result_; }
    int Location() const { return location_; }
    const std::string& KeyName() const { return name_; }
    const std::string& PrivateKey() const { return privateKey_; }
    const std::string& PublicKey() const { return publicKey_; }
    const std::string& Fingerprint() const { return fingerprint_; }
    const std::string& Code91Value() const { return code91_; }
    const std::string& SavedPath() const { return savedPath_; }
    int MinPasswordLength() const { return minPasswordLength_; }

    // Key kind of a location: 0, 1, 2, 11, or 255 for anything else.
    static int KindOfLocation(int location);
    // Whether the worker is running (the controls are disabled).
    bool Generating() const { return generating_; }
    int ProgressValue() const;

  protected:
    void OnInitDialog() override;
    void OnOK() override;  // the Generate button
    void OnCancel() override;

  private:
    int CheckName(const std::string& name) const;
    // Closes the device, stores the code and closes the dialog with OK.
    void EndWith(int code);
    void StartGeneration();
    void RunWorker();
    void OnTimer();
    void SetWorking(bool working);
    int DeviceKind() const;

    const CKeysStorage* keys_ = nullptr;
    CPSA* device_ = nullptr;
    std::function<int()> initialise_;
    int keySize_ = 1024;
    int variant_ = 0;
    int minPasswordLength_ = 0;

    int location_ = kLocationUsbToken;
    std::string name_;
    SecureString pin_;
    int result_ = 0;
    std::string privateKey_;
    std::string publicKey_;
    std::string fingerprint_;
    std::string code91_;
    std::string savedPath_;

    std::thread worker_;
    std::atomic<bool> finished_{false};
    bool generating_ = false;
    int progress_ = 0;
    QTimer* timer_ = nullptr;
    QProgressBar* bar_ = nullptr;
};

}  // namespace vq
