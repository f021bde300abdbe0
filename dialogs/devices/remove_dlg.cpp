#include "dialogs/devices/remove_dlg.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {

CRemoveDlg::CRemoveDlg(QWidget* parent) : CDialogBase(kRemoveDialogId, parent) {
    list_ = ControlAs<QTreeWidget>(kListId);
    list_->setSelectionMode(QAbstractItemView::MultiSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSortingEnabled(false);
    list_->header()->setSectionsClickable(false);
    list_->setColumnCount(3);
}

CRemoveDlg::~CRemoveDlg() = default;

void CRemoveDlg::AddKey(const std::string& label, const std::string& fingerprint, bool isPrivate,
                        CK_OBJECT_HANDLE handle) {
    if (last_ + 1 >= kMaxObjects) return;  // no room: the object is left alone
    const int i = ++last_;
    const auto at = static_cast<std::size_t>(i);
    labels_[at] = label.substr(0, kMaxLabel);
    prints_[at] = fingerprint;
    handles_[at] = handle;
    private_[at] = isPrivate ? 1 : 0;
    auto& pair = pairs_.try_emplace(fingerprint, -1, -1).first->second;
    (isPrivate ? pair.first : pair.second) = i;
}

bool CRemoveDlg::Run() {
    return DoModal() == ui::kIdOk;
}

bool CRemoveDlg::chosen(int index) const {
    return Valid(index) && chosen_[static_cast<std::size_t>(index)] != 0;
}

CK_OBJECT_HANDLE CRemoveDlg::handle(int index) const {
    return Valid(index) ? handles_[static_cast<std::size_t>(index)] : CK_INVALID_HANDLE;
}

std::string CRemoveDlg::fingerprint(int index) const {
    return Valid(index) ? prints_[static_cast<std::size_t>(index)] : std::string();
}

void CRemoveDlg::OnInitDialog() {
    setWindowTitle(Qs(LoadText(kTextRemoveKeysTitle)));
    ControlAs<QPushButton>(1)->setText(Qs(LoadText(kTextRemove)));
    ControlAs<QPushButton>(2)->setText(Qs(LoadText(kTextClose)));

    list_->setHeaderLabels({Qs(LoadText(kTextKeyNameColumn)), Qs(LoadText(kTextDigestColumn)),
                            Qs(LoadText(kTextKeyTypeColumn))});
    const int w = list_->width() / 10;
    list_->setColumnWidth(0, 2 * w);
    list_->setColumnWidth(1, 6 * w);
    list_->setColumnWidth(2, 2 * w - 1);

    // One row per fingerprint, in fingerprint order; a pair shows the private key's label.
    for (const auto& [print, pair] : pairs_) {
        const auto [priv, pub] = pair;
        if (priv < 0 && pub < 0) continue;
        const int shown = priv >= 0 ? priv : pub;
        const int type = priv >= 0 && pub >= 0 ? kTextKeyPair
                         : priv >= 0           ? kTextPrivateKey
                                               : kTextPublicKey;
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, Qs(labels_[static_cast<std::size_t>(shown)]));
        item->setText(1, Qs(prints_[static_cast<std::size_t>(shown)]));
        item->setText(2, Qs(LoadText(type)));
        for (int c = 0; c < 3; ++c) item->setToolTip(c, item->text(c));
    }
    list_->setFocus();
}

void CRemoveDlg::OnOK() {
    const QList<QTreeWidgetItem*> rows = list_->selectedItems();
    if (rows.isEmpty()) {
        ui::Message(LoadText(kTextSelectKeysToRemove), ui::Icon::kError);
        return;
    }
    for (const QTreeWidgetItem* row : rows) {
        const auto it = pairs_.find(row->text(1).toStdString());
        if (it == pairs_.end()) continue;
        for (int i : {it->second.first, it->second.second})
            if (Valid(i)) chosen_[static_cast<std::size_t>(i)] = 1;
    }
    done(ui::kIdOk);
}

}  // namespace vq
