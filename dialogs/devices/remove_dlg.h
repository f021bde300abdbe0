// CRemoveDlg: the user picks the keys to delete from an open device. The objects of one key pair
// share a fingerprint and make one row, so choosing the row removes both halves.
//
// It holds at most 20 objects: further objects given to AddKey are ignored (the device layer
// stops at 20 as well), so they are neither shown nor ever destroyed. A pair whose second half
// came after the twentieth object shows as a lone private or public key.
#pragma once

#include <array>
#include <map>
#include <string>
#include <utility>

#include "devices/device_ui.h"
#include "dialogs/dialog_base.h"

class QTreeWidget;

namespace vq {

class CRemoveDlg : public CDialogBase, public IKeyRemovalChooser {
    Q_OBJECT
  public:
    static constexpr int kListId = 203;

    explicit CRemoveDlg(QWidget* parent = nullptr);
    ~CRemoveDlg() override;

    void AddKey(const std::string& label, const std::string& fingerprint, bool isPrivate,
                CK_OBJECT_HANDLE handle) override;
    bool Run() override;
    bool chosen(int index) const override;
    CK_OBJECT_HANDLE handle(int index) const override;
    std::string fingerprint(int index) const override;

    // Index of the last object added; -1 when empty.
    int objectCount() const { return last_; }
    // Fingerprint -> (private object index, public object index), -1 when absent.
    const std::map<std::string, std::pair<int, int>>& pairs() const { return pairs_; }

  protected:
    void OnInitDialog() override;
    void OnOK() override;

  private:
    bool Valid(int index) const { return index >= 0 && index <= last_; }

    int last_ = -1;
    std::array<CK_OBJECT_HANDLE, kMaxObjects> handles_{};
    std::array<std::string, kMaxObjects> labels_;
    std::array<std::string, kMaxObjects> prints_;
    std::array<unsigned char, kMaxObjects> private_{};
    std::array<unsigned char, kMaxObjects> chosen_{};
    std::map<std::string, std::pair<int, int>> pairs_;
    QTreeWidget* list_ = nullptr;
};

}  // namespace vq
