#include "dialogs/chose_key_dlg.h"

#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>

#include "crypto/system_cert_store.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/key_storage.h"

namespace vq {

int CheckCertChoice(std::string_view name, const std::vector<std::string>& namesInUse,
                    int selectedRow) {
    if (name.empty()) return kTextEnterCertificateName;
    if (name.size() > kCertNameMaxLength) return kTextKeyNameTooLong;
    if (std::find(namesInUse.begin(), namesInUse.end(), name) != namesInUse.end())
        return kTextKeyNameInUse;
    if (selectedRow < 0) return kTextSelectCertificate;
    return 0;
}

std::string CertDetailsText(std::string_view fullSubject, std::string_view fullIssuer) {
    std::string text = LoadText(kTextIssuedFor);
    text += '\n';
    text += fullSubject;
    text += "\n\n";
    text += LoadText(kTextIssuedBy);
    text += '\n';
    text += fullIssuer;
    text += '\n';
    return text;
}

std::vector<CertRow> CertRows(const CSystemCertStore& store) {
    std::vector<CertRow> rows;
    const std::size_t n = std::min({store.SubjectNames().size(), store.IssuerNames().size(),
                                    store.SubjectDns().size(), store.IssuerDns().size(),
                                    store.Certificates().size()});
    rows.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        rows.push_back({store.SubjectNames()[i], store.IssuerNames()[i], store.SubjectDns()[i],
                        store.IssuerDns()[i], store.Certificates()[i]});
    return rows;
}

std::vector<std::string> KeyNames(CKeysStorage& keys) {
    std::vector<std::string> names;
    names.reserve(keys.Count());
    for (std::size_t i = 0; i < keys.Count(); ++i)
        if (const CKeyStorage* key = keys.At(i)) names.push_back(key->name);
    return names;
}

QIcon CertificateIcon() {
    // A sheet with text lines and a red seal with ribbons, as certificates are usually drawn.
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QColor(96, 96, 96));
    p.setBrush(QColor(255, 252, 232));
    p.drawRect(0, 1, 15, 11);
    p.setPen(QColor(80, 110, 170));
    p.drawLine(2, 4, 12, 4);
    p.drawLine(2, 6, 9, 6);
    p.drawLine(2, 8, 7, 8);
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 30, 30));
    p.drawPolygon(QPolygon({QPoint(9, 11), QPoint(8, 16), QPoint(10, 14), QPoint(11, 16)}));
    p.drawPolygon(QPolygon({QPoint(12, 11), QPoint(11, 16), QPoint(13, 14), QPoint(14, 16)}));
    p.setPen(QColor(140, 10, 10));
    p.drawEllipse(QRectF(8.5, 7.5, 5, 5));
    return QIcon(pm);
}

CChoseKeyDlg::CChoseKeyDlg(CKeysStorage& keys, QWidget* parent)
    : CDialogBase(kChoseKeyDialogId, parent), keys_(keys) {
    list_ = ControlAs<QTreeWidget>(chosekey::kList);
    edit_ = ControlAs<QLineEdit>(chosekey::kName);
    edit_->setMaxLength(static_cast<int>(kCertNameMaxLength));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setAllColumnsShowFocus(true);
    list_->setSortingEnabled(false);
    list_->setUniformRowHeights(true);
    list_->setIconSize(QSize(16, 16));
    list_->setColumnCount(2);
    list_->header()->setSectionsClickable(false);
    list_->header()->setSectionsMovable(false);
    list_->header()->setStretchLastSection(false);
    list_->setTextElideMode(Qt::ElideRight);
    connect(list_, &QTreeWidget::itemDoubleClicked, this,
            [this](QTreeWidgetItem* item, int) { ShowDetails(list_->indexOfTopLevelItem(item)); });
}

CChoseKeyDlg::~CChoseKeyDlg() = default;

void CChoseKeyDlg::SetRows(std::vector<CertRow> rows) {
    rows_ = std::move(rows);
    FillList();
}

void CChoseKeyDlg::OnInitDialog() {
    setWindowTitle(Qs(LoadText(kTextSelectCertificate)));
    auto* group = ControlAs<QGroupBox>(chosekey::kGroup);
    group->setTitle(Qs(LoadText(kTextCertificateGroup)));
    // A group title does not wrap: the dialog grows to the longest one (German) and the list,
    // the group and the buttons go with it.
    const int needed = group->fontMetrics().horizontalAdvance(group->title()) + 24;
    if (const int grow = needed - group->width(); grow > 0) {
        group->resize(group->width() + grow, group->height());
        list_->resize(list_->width() + grow, list_->height());
        for (int id : {1, 2}) Control(id)->move(Control(id)->x() + grow, Control(id)->y());
        setFixedSize(width() + grow, height());
    }
    ControlAs<QLabel>(chosekey::kListLabel)->setText(Qs(LoadText(kTextCertificateList)));
    ControlAs<QLabel>(chosekey::kNameLabel)->setText(Qs(LoadText(kTextNameLabel)));
    ControlAs<QPushButton>(1)->setText(Qs(LoadText(kTextOk)));
    ControlAs<QPushButton>(2)->setText(Qs(LoadText(kTextCancelButton)));
    list_->setHeaderLabels({Qs(LoadText(kTextIssuedFor)), Qs(LoadText(kTextIssuedBy))});
    FillList();
    edit_->setFocus();
}

void CChoseKeyDlg::FillList() {
    list_->clear();
    for (const CertRow& row : rows_) {
        auto* item = new QTreeWidgetItem(list_, {Qs(row.subjectName), Qs(row.issuerName)});
        item->setIcon(0, CertificateIcon());
        // Tips carry the whole text of a cell that does not fit its column.
        item->setToolTip(0, item->text(0));
        item->setToolTip(1, item->text(1));
    }
    // Each column takes half of the list's client width.
    const int half = list_->viewport()->width() / 2;
    list_->setColumnWidth(0, half);
    list_->setColumnWidth(1, half);
}

void CChoseKeyDlg::ShowDetails(int row) {
    if (row < 0 || static_cast<std::size_t>(row) >= rows_.size()) return;
    ui::Message(CertDetailsText(rows_[row].subjectDn, rows_[row].issuerDn), ui::Icon::kNone,
                ui::Buttons::kOk);
}

void CChoseKeyDlg::OnOK() {
    // Characters the code page lacks become '?', as on the page's side of the boundary.
    const QByteArray utf8 = edit_->text().toUtf8();
    const std::string name =
        cp::Utf8ToAnsi(std::string_view(utf8.constData(), utf8.size())).value_or(std::string());
    int selected = -1;
    if (const QList<QTreeWidgetItem*> items = list_->selectedItems(); !items.isEmpty())
        selected = list_->indexOfTopLevelItem(items.front());
    if (selected >= static_cast<int>(rows_.size())) selected = -1;
    if (const int text = CheckCertChoice(name, KeyNames(keys_), selected); text != 0) {
        ui::Message(LoadText(text), ui::Icon::kError, ui::Buttons::kOk);
        return;
    }
    name_ = name;
    certificate_ = rows_[selected].certificate;
    done(ui::kIdOk);
}

}  // namespace vq
