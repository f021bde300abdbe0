#include "dialogs/devices/select_reader_dlg.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>

#include "devices/psa.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

// The button line was laid out in pixels of the standard dialog font (base units 6 by 13);
// scale it to the font this dialog really has.
QRect Pixels(const CDialogBase& d, int x, int y, int w, int h) {
    const auto sx = [&](int v) { return v * d.BaseUnitX() / 6; };
    const auto sy = [&](int v) { return v * d.BaseUnitY() / 13; };
    return QRect(sx(x), sy(y), sx(w), sy(h));
}

}  // namespace

CSelectReaderDlg::CSelectReaderDlg(QWidget* parent) : CDialogBase(kSelectReaderDialogId, parent) {
    kindLabels_[0] = LoadText(kTextSmartCard);
    kindLabels_[1] = LoadText(kTextUsbDevice);
    // Above every other window, so that a user busy plugging devices in still sees it.
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    list_ = ControlAs<QTreeWidget>(kListId);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSortingEnabled(false);
    list_->header()->setSectionsClickable(false);
    list_->header()->setSectionsMovable(false);
    list_->setColumnCount(2);
}

CSelectReaderDlg::~CSelectReaderDlg() = default;

void CSelectReaderDlg::SetEntries(CPSA* psa, DeviceKind deviceKind, DeviceEntries* entries) {
    psa_ = psa;
    deviceKind_ = deviceKind;
    entries_ = entries;
}

int CSelectReaderDlg::ChooseDevice(CPSA& psa, DeviceKind deviceKind, DeviceEntries& entries) {
    SetEntries(&psa, deviceKind, &entries);
    selected_ = -1;
    if (DoModal() != ui::kIdOk) return -1;
    return selected_;
}

int CDeviceChoice::ChooseDevice(CPSA& psa, DeviceKind deviceKind, DeviceEntries& entries) {
    CSelectReaderDlg dialog;
    return dialog.ChooseDevice(psa, deviceKind, entries);
}

void CSelectReaderDlg::OnInitDialog() {
    ControlAs<QLabel>(kInformationId)->setText(Qs(LoadText(kTextSelectDeviceInfo)));
    auto* ok = ControlAs<QPushButton>(1);
    auto* cancel = ControlAs<QPushButton>(2);
    cancel->setText(Qs(LoadText(kTextCancelButton)));
    ok->setText(Qs(LoadText(kTextAccept)));

    refresh_ = new QPushButton(Qs(LoadText(kTextRefresh)), this);
    refresh_->setProperty("vq_id", kRefreshId);
    refresh_->setProperty("vq_kind", "button");
    refresh_->setFont(ok->font());
    refresh_->setAutoDefault(false);
    refresh_->setFocusPolicy(Qt::StrongFocus);
    refresh_->setGeometry(Pixels(*this, 62, 182, 80, 23));
    connect(refresh_, &QPushButton::clicked, this, [this] { Refresh(); });
    refresh_->show();
    // Cancel and OK on the refresh button's line, sizes unchanged.
    const QRect line = Pixels(*this, 0, 182, 0, 0);
    cancel->move(Pixels(*this, 164, 0, 0, 0).x(), line.y());
    ok->move(Pixels(*this, 262, 0, 0, 0).x(), line.y());
    setTabOrder(list_, refresh_);
    setTabOrder(refresh_, cancel);
    setTabOrder(cancel, ok);

    setWindowTitle(Qs(LoadText(kTextSelectReader)));
    list_->setHeaderLabels(
        {Qs(LoadText(kTextDeviceTypeColumn)), Qs(LoadText(kTextSerialNumberColumn))});
    const int w = list_->width();
    list_->setColumnWidth(0, w / 10 * 6);
    list_->setColumnWidth(1, w / 10 * 4);
    FillList();
    list_->setFocus();
}

void CSelectReaderDlg::FillList() {
    list_->clear();
    const std::size_t count = entries_ ? std::min(entries_->size(), kMaxDeviceEntries) : 0;
    // Any device is still offered as a smart card: only the token search names tokens.
    const std::string& type = kindLabels_.at(deviceKind_ == DeviceKind::UsbToken ? 1 : 0);
    for (std::size_t i = 0; i < count; ++i) {
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, Qs(type));
        item->setText(1, Qs((*entries_)[i].serial));
        // Tooltips show a cut-off text in full.
        item->setToolTip(0, item->text(0));
        item->setToolTip(1, item->text(1));
    }
    const int w = list_->viewport()->width();
    list_->setColumnWidth(0, w / 10 * 6);
    list_->setColumnWidth(1, w / 10 * 4);
    if (list_->topLevelItemCount() > 0) {
        list_->setCurrentItem(list_->topLevelItem(0));
        list_->topLevelItem(0)->setSelected(true);
    }
}

void CSelectReaderDlg::Refresh() {
    list_->clear();
    // What the enumeration reports is not shown: an empty list says enough.
    if (psa_ && entries_) psa_->ListDevices(deviceKind_, *entries_);
    FillList();
}

void CSelectReaderDlg::OnOK() {
    const QList<QTreeWidgetItem*> chosen = list_->selectedItems();
    if (chosen.isEmpty()) {
        ui::Message(LoadText(kTextSelectReader), ui::Icon::kError, ui::Buttons::kOk,
                    LoadText(kTextMessageCaption));
        return;
    }
    selected_ = list_->indexOfTopLevelItem(chosen.front());
    done(ui::kIdOk);
}

}  // namespace vq
