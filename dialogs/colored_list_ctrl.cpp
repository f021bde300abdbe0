#include "dialogs/colored_list_ctrl.h"

#include <QHeaderView>
#include <QPainter>

namespace vq {

namespace {
constexpr std::string_view kHeaderPrefix = "ZLECENIE";
// The first-column text is read with a buffer of this size (terminating zero included).
constexpr int kFirstColumnBuffer = 1024;
}  // namespace

bool IsOrderHeaderRow(std::string_view firstColumn) {
    return firstColumn.substr(0, kFirstColumnBuffer - 1).starts_with(kHeaderPrefix);
}

bool IsOrderHeaderRow(const QString& firstColumn) {
    return firstColumn.left(kFirstColumnBuffer - 1)
        .startsWith(QLatin1String(kHeaderPrefix.data(), kHeaderPrefix.size()), Qt::CaseSensitive);
}

QColor ColorFromColorref(unsigned colorref) {
    return QColor(static_cast<int>(colorref & 0xFF), static_cast<int>((colorref >> 8) & 0xFF),
                  static_cast<int>((colorref >> 16) & 0xFF));
}

CColoredListCtrl::CColoredListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setRootIsDecorated(false);
    setAlternatingRowColors(false);
    setUniformRowHeights(true);
    // The empty area below the rows is erased with the header colour.
    QPalette p = viewport()->palette();
    p.setColor(QPalette::Base, ColorFromColorref(kListHeaderColour));
    viewport()->setPalette(p);
    viewport()->setAutoFillBackground(true);
}

QColor CColoredListCtrl::RowColor(int row) const {
    const QTreeWidgetItem* item = topLevelItem(row);
    const bool header = item && IsOrderHeaderRow(item->text(0));
    return ColorFromColorref(header ? kListHeaderColour : kListOrdinaryColour);
}

void CColoredListCtrl::drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const QColor background = RowColor(index.row());
    // The whole band of the row, also right of the last column.
    painter->fillRect(QRect(0, option.rect.top(), viewport()->width(), option.rect.height()),
                      background);
    QStyleOptionViewItem cell(option);
    cell.palette.setColor(QPalette::Base, background);
    cell.palette.setColor(QPalette::AlternateBase, background);
    cell.palette.setColor(QPalette::Text, Qt::black);
    QTreeWidget::drawRow(painter, cell, index);
}

}  // namespace vq
