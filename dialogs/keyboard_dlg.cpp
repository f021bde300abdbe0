#include "dialogs/keyboard_dlg.h"

#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <cctype>

#include "platform/codepage/codepage.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

struct SpecialKeyInfo {
    const char* label;
    double factor;
};

constexpr SpecialKeyInfo kSpecialInfo[CKeyboardDlg::kSpecialKeys] = {
    {"BSp", 1.5},   {"Tab", 1.5},   {"Lock", 1.8}, {"Enter", 1.7}, {"Shift", 2.2},
    {"Shift", 2.2}, {nullptr, 2.5}, {"Alt", 1.5},  {" ", 6.75},    {"Alt", 1.5},
};

constexpr char kPlain[] = "`1234567890-=qwertyuiop[]\\asdfghjkl;'zxcvbnm,./";
constexpr char kShifted[] = "~!@#$%^&*()_+QWERTYUIOP{}|ASDFGHJKL:\"ZXCVBNM<>?";
static_assert(sizeof kPlain - 1 == CKeyboardDlg::kCharacterKeys);
static_assert(sizeof kShifted - 1 == CKeyboardDlg::kCharacterKeys);

// Letters that Alt turns into Polish ones: lower- and upper-case Windows-1250 bytes.
struct PolishLetter {
    char latin;
    unsigned char lower, upper;
};
constexpr PolishLetter kPolish[] = {
    {'e', 0xEA, 0xCA}, {'o', 0xF3, 0xD3}, {'a', 0xB9, 0xA5}, {'s', 0x9C, 0x8C}, {'l', 0xB3, 0xA3},
    {'z', 0xBF, 0xAF}, {'x', 0x9F, 0x8F}, {'c', 0xE6, 0xC6}, {'n', 0xF1, 0xD1},
};

int SpecialWidth(int i) {
    return static_cast<int>(CKeyboardDlg::kKeyWidth * kSpecialInfo[i].factor);
}

// Strictly inside: a point on a key's edge belongs to no key.
bool Inside(QPoint p, int l, int r, int t, int b) {
    return p.x() > l && p.x() < r && p.y() > t && p.y() < b;
}

QString KeyLabel(unsigned char c) {
    return QString::fromStdString(cp::ToUtf8(std::string(1, static_cast<char>(c)), "CP1250"));
}

}  // namespace

QIcon KeyboardIcon() {
    QPixmap pm(20, 14);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(QColor(64, 64, 64));
    p.setBrush(QColor(224, 224, 224));
    p.drawRoundedRect(QRectF(0.5, 0.5, 19, 13), 2, 2);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(64, 64, 64));
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 5; ++col)
            p.drawRect(2 + col * 3 + (row == 1 ? 1 : 0), 2 + row * 3, 2, 2);
    p.drawRect(5, 11, 10, 1);
    return QIcon(pm);
}

unsigned char CKeyboardDlg::LayoutChar(int layout, int key) {
    if (key < 0 || key >= kCharacterKeys) return 0;
    const bool shift = layout & 1, alt = layout & 2, caps = layout & 4;
    const char c = kPlain[key];
    if (c >= 'a' && c <= 'z') {
        const bool upper = shift != caps;
        if (alt) {
            for (const PolishLetter& p : kPolish)
                if (p.latin == c) return upper ? p.upper : p.lower;
        }
        return static_cast<unsigned char>(upper ? c - 'a' + 'A' : c);
    }
    return static_cast<unsigned char>(shift ? kShifted[key] : c);
}

CKeyboardDlg::CKeyboardDlg(QWidget* parent) : CDialogBase(kKeyboardDialogId, parent) {
    edit_ = ControlAs<QLineEdit>(202);
    BuildLayout();
    setFixedSize(extent_);
    edit_->setGeometry(kLeftMargin, kTopMargin, extent_.width() - 2 * kLeftMargin, kKeyHeight);
    edit_->setFocusPolicy(Qt::NoFocus);
    setMouseTracking(true);
}

CKeyboardDlg::~CKeyboardDlg() {
    text_.wipe();
    if (edit_) edit_->clear();
}

void CKeyboardDlg::SetText(std::string_view text) {
    text_.assign(text);
    if (maxLength_ && text_.size() > maxLength_) text_.assign(text.substr(0, maxLength_));
    if (edit_) Refresh();
}

// One pass over the description records every key rectangle and the window extent.
void CKeyboardDlg::BuildLayout() {
    keys_.clear();
    specials_.clear();
    int x = kLeftMargin;
    int y = kKeyHeight + 2 * kTopMargin;
    int key = 0;
    int right = 0, bottom = 0;
    for (const char* d = kDescription; *d; ++d) {
        const char c = *d;
        if (c == '|') {
            x = kLeftMargin;
            y += kKeyHeight;
        } else if (c == '@' || c == ' ') {
            const int i = static_cast<int>(specials_.size());
            if (i >= kSpecialKeys) break;
            const int w = SpecialWidth(i);
            specials_.push_back({x, x + w, y, y + kKeyHeight, false});
            x += w;
            bottom = std::max(bottom, y + kKeyHeight);
        } else {
            const int n = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10;
            for (int k = 0; k < n && key < kCharacterKeys; ++k, ++key) {
                keys_.push_back({x, x + kKeyWidth, y, y + kKeyHeight, key});
                x += kKeyWidth;
            }
        }
        right = std::max(right, x);
    }
    extent_ = QSize(right + kLeftMargin, bottom + kKeyHeight + kTopMargin);
}

void CKeyboardDlg::OnInitDialog() {
    setWindowTitle(Qs(LoadText(kTextKeyboard)));
    shift_ = alt_ = caps_ = false;
    Refresh();
}

const QImage& CKeyboardDlg::Surface() {
    if (surface_.size() != size()) DrawKeyboard();
    return surface_;
}

void CKeyboardDlg::DrawFrame(QPainter& p, int l, int t, int r, int b, bool pressed) {
    // Two-pixel bevel with cut corners: light on the left and top of a raised key, dark on
    // its right and bottom; the other way round when pressed. r and b are exclusive edges.
    const QColor light = pressed ? Qt::black : Qt::white;
    const QColor dark = pressed ? Qt::white : Qt::black;
    p.setPen(light);
    for (int i = 1; i <= 2; ++i) {
        p.drawLine(l + i, t + 3, l + i, b - 4);  // left
        p.drawLine(l + 3, t + i, r - 4, t + i);  // top
    }
    p.drawLine(l + 1, t + 3, l + 3, t + 1);
    p.drawLine(l + 2, t + 3, l + 3, t + 2);
    p.setPen(dark);
    for (int i = 1; i <= 2; ++i) {
        p.drawLine(r - i, t + 3, r - i, b - 4);  // right
        p.drawLine(l + 3, b - i, r - 4, b - i);  // bottom
    }
    p.drawLine(r - 1, b - 4, r - 4, b - 1);
    p.drawLine(r - 2, b - 4, r - 4, b - 2);
}

void CKeyboardDlg::DrawKeyboard() {
    if (surface_.size() != size()) surface_ = QImage(size(), QImage::Format_RGB32);
    surface_.fill(QColor(160, 160, 160));
    QPainter p(&surface_);
    QFont font("Arial CE");
    font.setPixelSize(12);
    font.setWeight(QFont::Normal);
    p.setFont(font);
    p.setBackgroundMode(Qt::TransparentMode);
    const int layout = LayoutIndex();
    for (const KeyRect& k : keys_) {
        DrawFrame(p, k.left, k.top, k.right, k.bottom, &k == pressedKey_);
        p.setPen(Qt::black);
        p.drawText(QRect(k.left + 3, k.top + 2, kKeyWidth - 3, kKeyHeight - 2),
                   Qt::AlignLeft | Qt::AlignTop, KeyLabel(LayoutChar(layout, k.key)));
    }
    for (int i = 0; i < static_cast<int>(specials_.size()); ++i) {
        const SpecialRect& s = specials_[i];
        if (!kSpecialInfo[i].label) continue;  // the gap is empty space
        DrawFrame(p, s.left, s.top, s.right, s.bottom, s.pressed);
        p.setPen(Qt::black);
        p.drawText(QRect(s.left + 3, s.top, s.right - s.left - 3, kKeyHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, QString::fromLatin1(kSpecialInfo[i].label));
    }
}

void CKeyboardDlg::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, Surface());
}

void CKeyboardDlg::Refresh() {
    // The field shows one '*' per character; the text itself never enters the widget.
    edit_->setText(QString(static_cast<qsizetype>(text_.size()), QChar('*')));
    edit_->setCursorPosition(static_cast<int>(text_.size()));
    DrawKeyboard();
    repaint();
}

void CKeyboardDlg::Append(char c) {
    if (maxLength_ && text_.size() >= maxLength_) return;
    text_.push_back(c);
}

void CKeyboardDlg::Press(QPoint at) {
    for (const KeyRect& k : keys_) {
        if (Inside(at, k.left, k.right, k.top, k.bottom)) {
            pressedKey_ = &k;
            Append(static_cast<char>(LayoutChar(LayoutIndex(), k.key)));
            break;
        }
    }
    for (int i = 0; i < static_cast<int>(specials_.size()); ++i) {
        SpecialRect& s = specials_[i];
        if (!Inside(at, s.left, s.right, s.top, s.bottom)) continue;
        switch (i) {
            case kShiftLeft:
            case kShiftRight:
                shift_ = !shift_;
                break;
            case kAltLeft:
            case kAltRight:
                alt_ = !alt_;
                break;
            case kLock:
                caps_ = !caps_;
                break;
            case kEnter:
                s.pressed = true;
                enterMarked_ = true;
                break;
            case kSpace:
                s.pressed = true;
                spaceMarked_ = true;
                Append(' ');
                break;
            case kBackspace:
                s.pressed = true;
                backspaceMarked_ = true;
                if (!text_.empty()) text_.pop_back();
                break;
            default:  // Tab and the gap do nothing
                break;
        }
        break;
    }
    // Modifier keys look pressed while they are on.
    specials_[kShiftLeft].pressed = specials_[kShiftRight].pressed = shift_;
    specials_[kAltLeft].pressed = specials_[kAltRight].pressed = alt_;
    specials_[kLock].pressed = caps_;
    Refresh();
}

void CKeyboardDlg::Release() {
    bool changed = false;
    if (pressedKey_) {
        pressedKey_ = nullptr;
        // Shift and Alt act on one character only.
        shift_ = alt_ = false;
        specials_[kShiftLeft].pressed = specials_[kShiftRight].pressed = false;
        specials_[kAltLeft].pressed = specials_[kAltRight].pressed = false;
        changed = true;
    }
    if (enterMarked_) {
        enterMarked_ = false;
        specials_[kEnter].pressed = false;
        Refresh();
        OnOK();
        return;
    }
    if (spaceMarked_ || backspaceMarked_) {
        spaceMarked_ = backspaceMarked_ = false;
        specials_[kSpace].pressed = specials_[kBackspace].pressed = false;
        changed = true;
    }
    if (changed) Refresh();
}

void CKeyboardDlg::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) Press(event->position().toPoint());
}

void CKeyboardDlg::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) Press(event->position().toPoint());
}

void CKeyboardDlg::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) Release();
}

void CKeyboardDlg::mouseMoveEvent(QMouseEvent* event) {
    // While a button is held the window keeps the mouse; leaving it counts as leaving.
    if (event->buttons() && !rect().contains(event->position().toPoint())) Release();
}

void CKeyboardDlg::leaveEvent(QEvent*) {
    Release();
}

}  // namespace vq
