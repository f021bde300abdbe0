// CSelectReaderDlg: the device choice when two or more devices are usable. One row per device
// (its type and serial number); the refresh button enumerates again after the user plugs a device
// in or out, and the chosen row refers to the entries as they stand when OK is pressed.
#pragma once

#include <map>
#include <string>

#include "devices/device_ui.h"
#include "dialogs/dialog_base.h"

class QPushButton;
class QTreeWidget;

namespace vq {

class CSelectReaderDlg : public CDialogBase, public IDeviceChooser {
    Q_OBJECT
  public:
    static constexpr int kRefreshId = 692;
    static constexpr int kListId = 203;
    static constexpr int kInformationId = 253;

    explicit CSelectReaderDlg(QWidget* parent = nullptr);
    ~CSelectReaderDlg() override;

    // Shows the dialog over `entries`; the row chosen, or -1 when the user cancelled.
    int ChooseDevice(CPSA& psa, DeviceKind deviceKind, DeviceEntries& entries) override;

    // The caller's data, for a run through DoModal() without ChooseDevice (psa may be null:
    // the refresh button then only redraws the list).
    void SetEntries(CPSA* psa, DeviceKind deviceKind, DeviceEntries* entries);
    int SelectedRow() const { return selected_; }
    const std::string& KindLabel(int kind) const { return kindLabels_.at(kind); }

  protected:
    void OnInitDialog() override;
    void OnOK() override;

  private:
    void FillList();
    void Refresh();

    std::map<int, std::string> kindLabels_;
    int selected_ = -1;
    DeviceKind deviceKind_ = DeviceKind::SmartCard;
    CPSA* psa_ = nullptr;
    DeviceEntries* entries_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QPushButton* refresh_ = nullptr;
};

// The device choice the flows give the device layer: the dialog is made only when there is
// something to choose, and lives for that one choice.
class CDeviceChoice final : public IDeviceChooser {
  public:
    int ChooseDevice(CPSA& psa, DeviceKind deviceKind, DeviceEntries& entries) override;
};

}  // namespace vq
