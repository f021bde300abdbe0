// A report list that shades the header rows of an order ("ZLECENIE ..."), used for the order
// table of the signing dialog.
#pragma once

#include <QColor>
#include <QTreeWidget>
#include <string_view>

namespace vq {

// Row colours as Windows colour values (0x00BBGGRR).
inline constexpr unsigned kListOrdinaryColour = 0xFFFFFF;  // white
inline constexpr unsigned kListHeaderColour = 0xFFEBDF;    // red 223, green 235, blue 255

// A header row is one whose first-column text begins with "ZLECENIE" (case-sensitive).
bool IsOrderHeaderRow(std::string_view firstColumn);
bool IsOrderHeaderRow(const QString& firstColumn);
// A Windows colour value as a Qt colour.
QColor ColorFromColorref(unsigned colorref);

class CColoredListCtrl : public QTreeWidget {
    Q_OBJECT
  public:
    explicit CColoredListCtrl(QWidget* parent = nullptr);

    // Background of a row: the header colour for header rows, otherwise the ordinary colour.
    QColor RowColor(int row) const;

  protected:
    // Every cell of a row on its row's colour, in black text; the area below the last row in the
    // header colour.
    void drawRow(QPainter* painter, const QStyleOptionViewItem& option,
                 const QModelIndex& index) const override;
};

}  // namespace vq
