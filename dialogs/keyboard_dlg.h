// CKeyboardDlg: the on-screen keyboard. The user types with the mouse only; the text field is
// read-only and masked.
#pragma once

#include <QIcon>
#include <QImage>
#include <array>
#include <string_view>
#include <vector>

#include "dialogs/dialog_base.h"
#include "storage/secure.h"

class QLineEdit;

namespace vq {

class CKeyboardDlg : public CDialogBase {
    Q_OBJECT
  public:
    static constexpr int kKeyWidth = 25;
    static constexpr int kKeyHeight = 25;
    static constexpr int kLeftMargin = 10;
    static constexpr int kTopMargin = 10;
    static constexpr int kCharacterKeys = 47;
    static constexpr int kSpecialKeys = 10;
    // Special keys in description order.
    enum Special {
        kBackspace,
        kTab,
        kLock,
        kEnter,
        kShiftLeft,
        kShiftRight,
        kGap,
        kAltLeft,
        kSpace,
        kAltRight
    };

    struct KeyRect {
        int left, right, top, bottom;
        int key;  // 0..46
    };
    struct SpecialRect {
        int left, right, top, bottom;
        bool pressed;
    };

    explicit CKeyboardDlg(QWidget* parent = nullptr);
    ~CKeyboardDlg() override;

    // Preset before the run; read after OK. Code page bytes.
    void SetText(std::string_view text);
    const SecureString& Text() const { return text_; }
    // Characters beyond this many are not taken (0: no limit).
    void SetMaxLength(std::size_t n) { maxLength_ = n; }

    bool Shift() const { return shift_; }
    bool Alt() const { return alt_; }
    bool CapsLock() const { return caps_; }
    int LayoutIndex() const { return (shift_ ? 1 : 0) + (alt_ ? 2 : 0) + (caps_ ? 4 : 0); }
    const std::vector<KeyRect>& Keys() const { return keys_; }
    const std::vector<SpecialRect>& Specials() const { return specials_; }
    QSize Extent() const { return extent_; }
    // The off-screen picture of the keyboard (client size).
    const QImage& Surface();

    // The Windows-1250 character of `key` (0..46) in `layout` (0..7).
    static unsigned char LayoutChar(int layout, int key);
    static constexpr const char* kDescription = "d@|@d|@b@|@a@| @@@";

  protected:
    void OnInitDialog() override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    void BuildLayout();
    void Press(QPoint at);
    void Release();
    void Append(char c);
    void DrawKeyboard();
    void DrawFrame(QPainter& p, int l, int t, int r, int b, bool pressed);
    void Refresh();

    SecureString text_;
    std::size_t maxLength_ = 0;
    bool shift_ = false, alt_ = false, caps_ = false;
    std::vector<KeyRect> keys_;
    std::vector<SpecialRect> specials_;
    const KeyRect* pressedKey_ = nullptr;
    bool enterMarked_ = false, spaceMarked_ = false, backspaceMarked_ = false;
    QSize extent_;
    QImage surface_;
    QLineEdit* edit_ = nullptr;
};

// The icon of the keyboard buttons that open this dialog: a small keyboard.
QIcon KeyboardIcon();

}  // namespace vq
