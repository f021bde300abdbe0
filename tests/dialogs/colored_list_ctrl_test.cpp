// Shading of order header rows in the coloured list, checked on rendered pixels.
#include "dialogs/colored_list_ctrl.h"

#include <gtest/gtest.h>

#include <QImage>
#include <memory>

#include "tests/dialogs/qt_app.h"

namespace vq {
namespace {


TEST(ColoredList, HeaderRowRule) {
    EXPECT_TRUE(IsOrderHeaderRow(std::string_view("ZLECENIE")));
    EXPECT_TRUE(IsOrderHeaderRow(std::string_view("ZLECENIE 12")));
    EXPECT_TRUE(IsOrderHeaderRow(std::string_view("ZLECENIE1")));
    EXPECT_FALSE(IsOrderHeaderRow(std::string_view("Zlecenie 12")));
    EXPECT_FALSE(IsOrderHeaderRow(std::string_view("ZLECENI")));
    EXPECT_FALSE(IsOrderHeaderRow(std::string_view(" ZLECENIE")));
    EXPECT_FALSE(IsOrderHeaderRow(std::string_view("")));
    EXPECT_TRUE(IsOrderHeaderRow(QStringLiteral("ZLECENIE 3")));
    EXPECT_FALSE(IsOrderHeaderRow(QStringLiteral("zlecenie 3")));
}

TEST(ColoredList, ColourValuesAreBgr) {
    EXPECT_EQ(QColor(255, 255, 255), ColorFromColorref(kListOrdinaryColour));
    EXPECT_EQ(QColor(223, 235, 255), ColorFromColorref(kListHeaderColour));
    EXPECT_EQ(QColor(1, 2, 3), ColorFromColorref(0x030201));
}

TEST(ColoredList, RendersRowsAndEmptyAreaInTheirColours) {
    CColoredListCtrl list;
    list.setColumnCount(2);
    list.setHeaderLabels({"order parameter:", "value"});
    list.resize(300, 240);
    const QStringList rows[] = {{"ZLECENIE 1", ""}, {"Kwota", "100,00"}, {"Zlecenie 2", ""}};
    for (const auto& r : rows) list.addTopLevelItem(new QTreeWidgetItem(r));
    list.show();
    const QImage image = list.viewport()->grab().toImage();
    ASSERT_FALSE(image.isNull());

    const QColor header = ColorFromColorref(kListHeaderColour);
    const QColor white = ColorFromColorref(kListOrdinaryColour);
    auto pixelOf = [&](int row) {
        const QRect r = list.visualItemRect(list.topLevelItem(row));
        // Right of the text, in the second column's empty part, and past the last column.
        return std::pair(image.pixelColor(r.right() - 3, r.center().y()),
                         image.pixelColor(image.width() - 2, r.center().y()));
    };
    EXPECT_EQ(header, pixelOf(0).first);
    EXPECT_EQ(header, pixelOf(0).second);
    EXPECT_EQ(white, pixelOf(1).first);
    EXPECT_EQ(white, pixelOf(1).second);
    // Only capitals make a header.
    EXPECT_EQ(white, pixelOf(2).first);
    EXPECT_EQ(header, list.RowColor(0));
    EXPECT_EQ(white, list.RowColor(2));
    // Below the last row.
    const QRect last = list.visualItemRect(list.topLevelItem(2));
    EXPECT_EQ(header, image.pixelColor(10, last.bottom() + 20));
}

}  // namespace
}  // namespace vq
