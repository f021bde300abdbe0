#include "dialogs/keyboard_dlg.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>

#include "tests/dialogs/qt_app.h"

namespace vq {
namespace {

using K = CKeyboardDlg;

// Key numbers of a few letters in row order.
constexpr int kKeyA = 26, kKeyB = 41, kKeyE = 15, kKeyZ = 37, kKey1 = 1;

class KeyboardTest : public ::testing::Test {
  protected:
    void SetUp() override { kb_.show(); }

    void Mouse(QEvent::Type type, QPoint p, Qt::MouseButtons buttons) {
        QMouseEvent e(type, QPointF(p), QPointF(p), kb_.mapToGlobal(QPointF(p)), Qt::LeftButton,
                      buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(&kb_, &e);
    }
    void Down(QPoint p) { Mouse(QEvent::MouseButtonPress, p, Qt::LeftButton); }
    void Up(QPoint p) { Mouse(QEvent::MouseButtonRelease, p, Qt::NoButton); }
    void Click(QPoint p) {
        Down(p);
        Up(p);
    }
    QPoint KeyCentre(int key) const {
        const auto& k = kb_.Keys().at(key);
        return {(k.left + k.right) / 2, (k.top + k.bottom) / 2};
    }
    QPoint SpecialCentre(int i) const {
        const auto& s = kb_.Specials().at(i);
        return {(s.left + s.right) / 2, (s.top + s.bottom) / 2};
    }
    void Key(int key) { Click(KeyCentre(key)); }
    void Special(int i) { Click(SpecialCentre(i)); }
    std::string Text() const { return std::string(kb_.Text().view()); }

    CKeyboardDlg kb_;
};

TEST_F(KeyboardTest, GeometryFollowsTheDescription) {
    EXPECT_EQ(kb_.size(), QSize(382, 205));
    EXPECT_EQ(kb_.Extent(), QSize(382, 205));
    ASSERT_EQ(kb_.Keys().size(), 47u);
    ASSERT_EQ(kb_.Specials().size(), 10u);
    const auto& first = kb_.Keys()[0];
    EXPECT_EQ(first.left, 10);
    EXPECT_EQ(first.top, 45);
    EXPECT_EQ(first.right, 35);
    EXPECT_EQ(first.bottom, 70);
    const int widths[] = {37, 37, 45, 42, 55, 55, 62, 37, 168, 37};
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(kb_.Specials()[i].right - kb_.Specials()[i].left, widths[i]) << i;
    // Rows: 362 pixels wide, the last one 304.
    EXPECT_EQ(kb_.Specials()[K::kBackspace].right, 372);
    EXPECT_EQ(kb_.Specials()[K::kEnter].right, 372);
    EXPECT_EQ(kb_.Specials()[K::kShiftRight].right, 370);  // the Shift row is 360 wide
    EXPECT_EQ(kb_.Specials()[K::kAltRight].right - 10, 304);
    EXPECT_EQ(kb_.Specials()[K::kGap].top, 145);
    EXPECT_EQ(kb_.Keys()[46].key, 46);
    EXPECT_EQ(kb_.Keys()[kKeyA].left, 55);  // after Lock
    auto* edit = kb_.findChild<QLineEdit*>();
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(edit->geometry(), QRect(10, 10, 362, 25));
    EXPECT_TRUE(edit->isReadOnly());
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
}

TEST(KeyboardLayouts, EightLayoutsFromThreeRules) {
    const auto layout = [](int index) {
        std::string s;
        for (int k = 0; k < K::kCharacterKeys; ++k) s += static_cast<char>(K::LayoutChar(index, k));
        return s;
    };
    EXPECT_EQ(layout(0), "`1234567890-=qwertyuiop[]\\asdfghjkl;'zxcvbnm,./");
    EXPECT_EQ(layout(4), "`1234567890-=QWERTYUIOP[]\\ASDFGHJKL;'ZXCVBNM,./");
    EXPECT_EQ(layout(1), "~!@#$%^&*()_+QWERTYUIOP{}|ASDFGHJKL:\"ZXCVBNM<>?");
    EXPECT_EQ(layout(5), "~!@#$%^&*()_+qwertyuiop{}|asdfghjkl:\"zxcvbnm<>?");
    // Alt: ę ó ą ś ł ż ź ć ń in Windows-1250, the rest unchanged.
    EXPECT_EQ(layout(2),
              "`1234567890-=qw\xEArtyui\xF3p[]\\\xB9\x9C"
              "dfghjk\xB3;'\xBF\x9F\xE6vb\xF1m,./");
    EXPECT_EQ(layout(3),
              "~!@#$%^&*()_+QW\xCARTYUI\xD3P{}|\xA5\x8C"
              "DFGHJK\xA3:\"\xAF\x8F\xC6VB\xD1M<>?");
    EXPECT_EQ(layout(6),
              "`1234567890-=QW\xCARTYUI\xD3P[]\\\xA5\x8C"
              "DFGHJK\xA3;'\xAF\x8F\xC6VB\xD1M,./");
    EXPECT_EQ(layout(7),
              "~!@#$%^&*()_+qw\xEArtyui\xF3p{}|\xB9\x9C"
              "dfghjk\xB3:\"\xBF\x9F\xE6vb\xF1m<>?");
    EXPECT_EQ(K::LayoutChar(0, 47), 0);
    EXPECT_EQ(K::LayoutChar(0, -1), 0);
}

TEST_F(KeyboardTest, ShiftActsOnOneCharacterCapsLockStays) {
    Special(K::kShiftLeft);
    EXPECT_TRUE(kb_.Shift());
    EXPECT_EQ(kb_.LayoutIndex(), 1);
    Key(kKeyA);
    Key(kKeyB);
    EXPECT_EQ(Text(), "Ab");
    EXPECT_FALSE(kb_.Shift());

    kb_.SetText("");
    Special(K::kLock);
    Key(kKeyA);
    Key(kKeyB);
    EXPECT_EQ(Text(), "AB");
    EXPECT_TRUE(kb_.CapsLock());

    kb_.SetText("");
    Special(K::kShiftRight);  // with Lock on: lower case
    Key(kKeyA);
    Key(kKey1);  // Shift is gone again: a plain digit
    EXPECT_EQ(Text(), "a1");
    // Shift twice is no Shift.
    Special(K::kShiftLeft);
    Special(K::kShiftRight);
    EXPECT_FALSE(kb_.Shift());
}

TEST_F(KeyboardTest, AltGivesPolishLettersInWindows1250) {
    Special(K::kAltLeft);
    EXPECT_EQ(kb_.LayoutIndex(), 2);
    Key(kKeyE);
    EXPECT_EQ(Text(), "\xEA");
    EXPECT_FALSE(kb_.Alt());
    Special(K::kAltRight);
    Special(K::kShiftLeft);
    EXPECT_EQ(kb_.LayoutIndex(), 3);
    Key(kKeyZ);
    EXPECT_EQ(Text(), "\xEA\xAF");  // Ż
    EXPECT_EQ(kb_.LayoutIndex(), 0);
    Key(kKeyZ);
    EXPECT_EQ(Text(), "\xEA\xAFz");
}

TEST_F(KeyboardTest, BackspaceSpaceAndTab) {
    Special(K::kBackspace);  // on an empty text: nothing
    EXPECT_EQ(Text(), "");
    Key(kKeyA);
    Special(K::kSpace);
    Key(kKeyB);
    Special(K::kTab);
    Click(SpecialCentre(K::kGap));
    EXPECT_EQ(Text(), "a b");
    Special(K::kBackspace);
    EXPECT_EQ(Text(), "a ");
    EXPECT_TRUE(kb_.isVisible());
    // The field shows one '*' per character, never the text.
    EXPECT_EQ(kb_.findChild<QLineEdit*>()->text(), "**");
}

TEST_F(KeyboardTest, EdgesBelongToNoKey) {
    // The vertical line between keys 0 and 1, and the horizontal line between rows 1 and 2.
    Click({35, 57});
    Click({60, 70});
    Click({10, 57});  // the left edge of key 0
    EXPECT_EQ(Text(), "");
    Click({36, 57});
    EXPECT_EQ(Text(), "1");
    // Between Lock and the 'a' key.
    Click({55, 107});
    EXPECT_FALSE(kb_.CapsLock());
    EXPECT_EQ(Text(), "1");
}

TEST_F(KeyboardTest, DoubleClickTypesTwice) {
    const QPoint p = KeyCentre(kKeyA);
    Down(p);
    Up(p);
    Mouse(QEvent::MouseButtonDblClick, p, Qt::LeftButton);
    Up(p);
    EXPECT_EQ(Text(), "aa");
}

TEST_F(KeyboardTest, EnterConfirmsOnReleaseAndOnLeavingTheWindow) {
    kb_.SetText("pw");
    Down(SpecialCentre(K::kEnter));
    EXPECT_TRUE(kb_.isVisible());
    EXPECT_TRUE(kb_.Specials()[K::kEnter].pressed);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&kb_, &leave);
    EXPECT_FALSE(kb_.isVisible());
    EXPECT_EQ(kb_.result(), 1);
    EXPECT_EQ(Text(), "pw");

    CKeyboardDlg other;
    other.show();
    QMouseEvent down(QEvent::MouseButtonPress, QPointF(351, 107), QPointF(351, 107),
                     other.mapToGlobal(QPointF(351, 107)), Qt::LeftButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&other, &down);
    // Dragging out of the window while holding counts as leaving it.
    QMouseEvent move(QEvent::MouseMove, QPointF(400, 107), QPointF(400, 107),
                     other.mapToGlobal(QPointF(400, 107)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(&other, &move);
    EXPECT_FALSE(other.isVisible());
    EXPECT_EQ(other.result(), 1);
}

TEST_F(KeyboardTest, LeavingWithoutAKeyHeldDoesNothing) {
    Key(kKeyA);
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(&kb_, &leave);
    EXPECT_TRUE(kb_.isVisible());
    Up(KeyCentre(kKeyB));  // a stray release types nothing
    EXPECT_EQ(Text(), "a");
}

TEST_F(KeyboardTest, PhysicalKeysConfirmAndCancel) {
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(&kb_, &enter);
    EXPECT_FALSE(kb_.isVisible());
    EXPECT_EQ(kb_.result(), 1);
    CKeyboardDlg other;
    other.show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&other, &escape);
    EXPECT_EQ(other.result(), 2);
}

TEST_F(KeyboardTest, PressedAndRaisedKeysInTheOffScreenPicture) {
    const QRgb white = qRgb(255, 255, 255), black = qRgb(0, 0, 0), grey = qRgb(160, 160, 160);
    const auto& a = kb_.Keys()[kKeyA];
    const int mid = (a.top + a.bottom) / 2;
    EXPECT_EQ(kb_.Surface().pixel(3, 100), grey);            // background left of the rows
    EXPECT_EQ(kb_.Surface().pixel(a.left, mid), grey);       // the key's own edge stays grey
    EXPECT_EQ(kb_.Surface().pixel(a.left + 1, mid), white);  // raised: light left
    EXPECT_EQ(kb_.Surface().pixel(a.left + 2, mid), white);
    EXPECT_EQ(kb_.Surface().pixel(a.right - 1, mid), black);  // dark right
    EXPECT_EQ(kb_.Surface().pixel(a.left + 12, a.top + 1), white);
    EXPECT_EQ(kb_.Surface().pixel(a.left + 12, a.bottom - 1), black);
    Down(KeyCentre(kKeyA));
    EXPECT_EQ(kb_.Surface().pixel(a.left + 1, mid), black);  // pressed: dark left
    EXPECT_EQ(kb_.Surface().pixel(a.right - 1, mid), white);
    EXPECT_EQ(kb_.Surface().pixel(a.left + 12, a.top + 1), black);
    Up(KeyCentre(kKeyA));
    EXPECT_EQ(kb_.Surface().pixel(a.left + 1, mid), white);
    // A modifier looks pressed while it is on.
    const auto& shift = kb_.Specials()[K::kShiftLeft];
    const int smid = (shift.top + shift.bottom) / 2;
    Special(K::kShiftLeft);
    EXPECT_EQ(kb_.Surface().pixel(shift.left + 1, smid), black);
    const auto& right = kb_.Specials()[K::kShiftRight];
    EXPECT_EQ(kb_.Surface().pixel(right.left + 1, smid), black);
    Key(kKeyA);
    EXPECT_EQ(kb_.Surface().pixel(shift.left + 1, smid), white);
    EXPECT_EQ(kb_.Surface().size(), QSize(382, 205));
    // The labels follow the layout: the picture changes when Lock changes the letters.
    const QImage before = kb_.Surface().copy(a.left + 3, a.top + 2, 15, 15);
    Special(K::kLock);
    EXPECT_NE(kb_.Surface().copy(a.left + 3, a.top + 2, 15, 15), before);
}

TEST_F(KeyboardTest, LengthLimitRefusesFurtherCharacters) {
    kb_.SetMaxLength(2);
    Key(kKeyA);
    Key(kKeyB);
    Key(kKeyE);
    Special(K::kSpace);
    EXPECT_EQ(Text(), "ab");
    Special(K::kBackspace);
    Key(kKeyE);
    EXPECT_EQ(Text(), "ae");
}

}  // namespace
}  // namespace vq
