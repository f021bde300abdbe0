#include "dialogs/sign_dlg.h"

#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QToolTip>
#include <algorithm>
#include <array>

#include "dialogs/colored_list_ctrl.h"
#include "dialogs/keyboard_dlg.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"
#include "storage/codes.h"
#include "storage/hex_text.h"

namespace vq {
namespace {

// Windows' dialog frame (SM_CYDLGFRAME): the window ends this far below its last control, twice.
constexpr int kDialogFrame = 3;
// What the password field shows once the typed password has been taken.
constexpr int kMaskLength = 16;

// Code page text to Qt, one byte at a time through a table: the order table has one cell per
// record and converting each through iconv would cost more than everything else. Falls back to
// the whole-string conversion when the code page is not one byte per character.
class AnsiDecoder {
  public:
    AnsiDecoder() {
        std::string all(256, '\0');
        for (int b = 0; b < 256; ++b) all[static_cast<std::size_t>(b)] = static_cast<char>(b);
        const QString whole = Qs(all);
        valid_ = whole.size() == 256;
        for (int b = 0; valid_ && b < 256; ++b) table_[static_cast<std::size_t>(b)] = whole[b];
    }
    QString operator()(std::string_view s) const {
        if (!valid_) return Qs(s);
        QString out(static_cast<qsizetype>(s.size()), Qt::Uninitialized);
        QChar* d = out.data();
        for (std::size_t i = 0; i < s.size(); ++i) d[i] = table_[static_cast<unsigned char>(s[i])];
        return out;
    }

  private:
    std::array<QChar, 256> table_{};
    bool valid_ = false;
};

const AnsiDecoder& Decoder() {
    static const AnsiDecoder decoder;
    return decoder;
}

QString Text(int id) {
    return Qs(LoadText(id));
}

// A chevron pointing up (collapse) or down (expand).
QIcon ChevronIcon(bool up) {
    QPixmap pm(12, 12);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(QColor(40, 70, 140), 2);
    p.setPen(pen);
    for (int dy : {0, 4}) {
        QPainterPath path;
        if (up) {
            path.moveTo(2, 6 + dy - 2);
            path.lineTo(6, 2 + dy - 2);
            path.lineTo(10, 6 + dy - 2);
        } else {
            path.moveTo(2, 2 + dy);
            path.lineTo(6, 6 + dy);
            path.lineTo(10, 2 + dy);
        }
        p.drawPath(path);
    }
    return QIcon(pm);
}

// The dialog's icon: a sheet with text lines and a seal.
QPixmap SealPixmap() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QColor(90, 90, 90));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(4.5, 1.5, 20, 27));
    p.setPen(QColor(150, 150, 160));
    for (int y = 7; y <= 19; y += 4) p.drawLine(8, y, 21, y);
    p.setPen(QColor(120, 20, 20));
    p.setBrush(QColor(200, 40, 40));
    p.drawEllipse(QRectF(16.5, 17.5, 13, 13));
    p.setPen(QPen(QColor(255, 220, 220), 1.5));
    p.drawLine(QPointF(20, 24), QPointF(22.5, 26.5));
    p.drawLine(QPointF(22.5, 26.5), QPointF(26.5, 21));
    return pm;
}

// Puts `replacement` in the place of the template's placeholder for control `id`: same
// rectangle, same id for the automation script; the placeholder stays hidden and anonymous.
void TakePlace(QWidget* placeholder, QWidget* replacement, int id, const char* kind) {
    replacement->setGeometry(placeholder->geometry());
    replacement->setProperty("vq_id", id);
    replacement->setProperty("vq_kind", kind);
    placeholder->setProperty("vq_id", QVariant());
    placeholder->hide();
    replacement->hide();
}

}  // namespace

CSignDlg::CSignDlg(ISigningOperations& ops, QWidget* parent)
    : CSignDlg(std::make_unique<SignSession>(ops), nullptr, parent) {}

CSignDlg::CSignDlg(SignSession& session, QWidget* parent) : CSignDlg(nullptr, &session, parent) {}

CSignDlg::CSignDlg(std::unique_ptr<SignSession> own, SignSession* external, QWidget* parent)
    : CDialogBase(kSignDialogId, parent), own_(std::move(own)), session_(own_ ? *own_ : *external) {
    table_ = new CColoredListCtrl(this);
    TakePlace(Control(kIdTable), table_, kIdTable, "list");
    table_->setColumnCount(2);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setSortingEnabled(false);
    table_->setTextElideMode(Qt::ElideRight);
    table_->header()->setStretchLastSection(false);
    table_->header()->setSectionsMovable(false);
    table_->viewport()->installEventFilter(this);

    raw_ = new QPlainTextEdit(this);
    TakePlace(Control(kIdRawView), raw_, kIdRawView, "edit");
    raw_->setReadOnly(true);
    raw_->setLineWrapMode(QPlainTextEdit::NoWrap);
    raw_->setUndoRedoEnabled(false);

    group_ = ControlAs<QGroupBox>(kIdGroup);
    formatted_ = ControlAs<QRadioButton>(kIdFormatted);
    beingSigned_ = ControlAs<QRadioButton>(kIdBeingSigned);
    expand_ = ControlAs<QPushButton>(kIdExpand);
    topSeparator_ = ControlAs<QLabel>(kIdTopSeparator);
    lowerSeparator_ = ControlAs<QLabel>(kIdLowerSeparator);
    keyLabel_ = ControlAs<QLabel>(kIdKeyLabel);
    keys_ = ControlAs<QComboBox>(kIdKeyList);
    passwordLabel_ = ControlAs<QLabel>(kIdPasswordLabel);
    password_ = ControlAs<QLineEdit>(kIdPassword);
    keyboard_ = ControlAs<QPushButton>(kIdKeyboard);
    note_ = ControlAs<QLabel>(kIdLoginNote);
    icon_ = ControlAs<QLabel>(kIdIcon);

    // Each radio button is its own group; the dialog keeps them exclusive itself.
    for (QRadioButton* r : {formatted_, beingSigned_}) {
        r->setAutoExclusive(false);
        connect(r, &QRadioButton::clicked, this, [this, r] { SetView(r == formatted_); });
    }
    for (QLabel* line : {topSeparator_, lowerSeparator_})
        line->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    keyLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    passwordLabel_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    password_->setMaxLength(kMaxPassword);
    connect(password_, &QLineEdit::textEdited, this, [this] { masked_ = false; });
    connect(keys_, &QComboBox::activated, this, [this] { ApplySelection(); });

    keyboard_->setIcon(KeyboardIcon());
    keyboard_->setIconSize(QSize(20, 14));
    expand_->setFlat(true);
    expand_->setIconSize(QSize(12, 12));
    icon_->setPixmap(SealPixmap());
    icon_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

CSignDlg::~CSignDlg() {
    // Whatever the field still holds is overwritten before it goes.
    if (password_ && !password_->text().isEmpty()) {
        password_->setText(QString(kMaskLength, QLatin1Char('#')));
        password_->clear();
    }
}

bool CSignDlg::FormattedView() const {
    return formatted_->isChecked();
}

void CSignDlg::LoadTexts() {
    const bool order = !session_.noOrder();
    setWindowTitle(Text(order ? kTextSignOrder : kTextSelectKeyTitle));
    group_->setTitle(Text(kTextOrderContent));
    formatted_->setText(Text(kTextFormatted));
    beingSigned_->setText(Text(kTextBeingSigned));
    // Qt takes a click only on the indicator and the text: the button is as wide as they are.
    for (QRadioButton* r : {formatted_, beingSigned_})
        r->resize(r->sizeHint().width(), r->height());
    table_->setHeaderLabels({Text(kTextOrderParameter), Text(kTextOrderValue)});
    keyLabel_->setText(Text(order ? kTextSelectKeyToSign : kTextSelectKeyLabel));
    passwordLabel_->setText(Text(kTextKeyPasswordLabel));
    note_->setText(Text(kTextLoginNote));
    ControlAs<QPushButton>(ui::kIdOk)->setText(Text(order ? kTextSignButton : kTextOk));
    ControlAs<QPushButton>(ui::kIdCancel)->setText(Text(kTextCancelButton));
    SetExpandButton();
}

void CSignDlg::SetExpandButton() {
    expand_->setText(Text(expanded_ ? kTextCollapse : kTextExpand));
    expand_->setIcon(ChevronIcon(expanded_));
}

void CSignDlg::OnInitDialog() {
    LoadTexts();
    if (!session_.noOrder()) BuildOrderView();
    FillKeyList();
    ApplySelection();
    raise();
    activateWindow();
    password_->setFocus(Qt::OtherFocusReason);
}

void CSignDlg::BuildOrderView() {
    // Display copy only: what is signed stays the bytes as received.
    const SecureBytes& received = session_.data();
    display_ = IsoToWin1250(
        std::string_view(reinterpret_cast<const char*>(received.data()), received.size()));
    displayQ_ = Decoder()(display_);

    formatted_->setChecked(true);
    beingSigned_->setChecked(false);
    const ParsedOrder order = ParseOrderText(display_, received.size());
    multiline_ = order.multiline;
    multilineText_ = order.multilineText;
    multilineQ_ = Decoder()(multilineText_);
    FillTable(order);
    SizeRawView();
    ShowRawText();
}

void CSignDlg::FillTable(const ParsedOrder& order) {
    const int half = table_->width() / 2 - 2;
    table_->setColumnWidth(0, half);
    table_->setColumnWidth(1, half);
    table_->clear();
    if (multiline_) return;
    const AnsiDecoder& decode = Decoder();
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(order.rows.size()));
    for (const OrderRow& row : order.rows)
        items.append(new QTreeWidgetItem(QStringList{decode(row.label), decode(row.value)}));
    table_->addTopLevelItems(items);
}

void CSignDlg::SizeRawView() {
    const QFontMetrics fm(raw_->font());
    int widest = 0;
    int lines = 0;
    for (qsizetype from = 0;;) {
        const qsizetype nl = displayQ_.indexOf(QLatin1Char('\n'), from);
        const QStringView line = QStringView(displayQ_).mid(from, nl < 0 ? -1 : nl - from);
        widest = std::max(widest, fm.horizontalAdvance(line.toString()));
        ++lines;
        if (nl < 0) break;
        from = nl + 1;
    }
    const int lineHeight = fm.lineSpacing();
    const int frame = raw_->height() - raw_->viewport()->height();
    const int tableHeight = table_->height();
    // The text starts at the document margin on each side.
    const int textWidth = widest + 2 * static_cast<int>(raw_->document()->documentMargin());
    const int clientWidth = raw_->width() - 2 * raw_->frameWidth();
    const int barWidth = raw_->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, raw_);

    rawVBar_ = lineHeight * lines + frame > tableHeight;
    rawHBar_ = textWidth > clientWidth || (rawVBar_ && textWidth > clientWidth - barWidth);
    int height = tableHeight;
    if (!multiline_ && lines == 1) height = raw_->height() + (rawHBar_ ? lineHeight : 0);
    raw_->resize(raw_->width(), height);
    raw_->setVerticalScrollBarPolicy(rawVBar_ ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    raw_->setHorizontalScrollBarPolicy(rawHBar_ ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

void CSignDlg::ShowRawText() {
    const RawText want = multiline_ && FormattedView() ? RawText::kMultiline : RawText::kDisplay;
    if (want == rawShown_) return;
    raw_->setPlainText(want == RawText::kMultiline ? multilineQ_ : displayQ_);
    rawShown_ = want;
}

void CSignDlg::FillKeyList() {
    keys_->clear();
    int preselected = -1;
    for (const std::string& text : session_.NumberOfferedKeys(preselected))
        keys_->addItem(Qs(text));
    if (keys_->count() > 0) keys_->setCurrentIndex(preselected >= 0 ? preselected : 0);
}

void CSignDlg::ApplySelection() {
    int index = -1;
    CKeyStorage* key = session_.KeyAtEntry(keys_->currentIndex(), index);
    if (key) session_.Select(index);
    const bool device = key && (key->kind == kind::kSmartCard || key->kind == kind::kUsbToken);
    passwordLabel_->setText(Text(device ? kTextPinCodeLabel : kTextKeyPasswordLabel));
    password_->setMaxLength(device ? kMaxPin : kMaxPassword);
    Layout();
    if (!session_.noOrder()) {
        session_.RecopyOrder();
        ShowRawText();
    }
}

QWidget* CSignDlg::CurrentView() const {
    if (multiline_ || !FormattedView()) return raw_;
    return table_;
}

void CSignDlg::SetView(bool formatted) {
    formatted_->setChecked(formatted);
    beingSigned_->setChecked(!formatted);
    if (session_.noOrder()) return;
    ShowRawText();
    Layout();
}

void CSignDlg::Layout() {
    const bool order = !session_.noOrder();
    const bool inDialog = session_.passwordInDialog();
    const auto place = [](QWidget* w, int top) {
        w->move(w->x(), top);
        w->show();
    };
    const auto hide = [](std::initializer_list<QWidget*> widgets) {
        for (QWidget* w : widgets) w->hide();
    };

    int y = 12;
    if (!order) {
        hide({group_, formatted_, beingSigned_, table_, raw_, expand_, topSeparator_,
              lowerSeparator_});
        place(note_, 15);
        y = note_->height() + 22;
    } else {
        note_->hide();
        if (inDialog) {
            expand_->show();
            topSeparator_->show();
            y = expanded_ ? expand_->height() - 2 : expand_->height() + 2;
        } else {
            hide({expand_, topSeparator_});
        }
        if (expanded_) {
            place(group_, y + 2);
            y += 20;
            place(formatted_, y);
            place(beingSigned_, y);
            y += formatted_->height() + 15;
            QWidget* view = CurrentView();
            (view == table_ ? static_cast<QWidget*>(raw_) : table_)->hide();
            place(view, y);
            if (inDialog) {
                place(lowerSeparator_, y + view->height() + 2);
                y = lowerSeparator_->y() + lowerSeparator_->height() + 2;
            } else {
                lowerSeparator_->hide();
                y += view->height() + 10;
            }
        } else {
            hide({group_, formatted_, beingSigned_, table_, raw_, lowerSeparator_});
        }
    }

    y += 5;
    place(keyLabel_, y + 3);
    place(keys_, y);
    y += keys_->height() + 10;

    int index = -1;
    const CKeyStorage* key = session_.KeyAtEntry(keys_->currentIndex(), index);
    if (inDialog && !(key && key->kind == kind::kCertStore)) {
        place(passwordLabel_, y + 3);
        place(password_, y + 6);
        place(keyboard_, y);
        y += keyboard_->height() + 10;
    } else {
        hide({passwordLabel_, password_, keyboard_});
    }

    for (int id : {kIdIcon, ui::kIdOk, ui::kIdCancel}) place(Control(id), y);
    setFixedSize(width(), y + icon_->height() + 2 * kDialogFrame);
}

void CSignDlg::TakePassword() {
    if (masked_) return;
    typed_ = SecureAnsi(password_->text());
}

void CSignDlg::WipePasswordField() {
    password_->setText(QString(kMaskLength, QLatin1Char('#')));
    masked_ = true;
}

void CSignDlg::FocusPasswordField() {
    // The field shows the stored password again: empty after it was used up, the typed text after
    // a wrong PIN.
    password_->setText(Qs(typed_.view()));
    masked_ = false;
    password_->setFocus(Qt::OtherFocusReason);
    update();
}

void CSignDlg::ShowMessage(int textId, ui::Icon icon) {
    ui::Message(LoadText(textId), icon);
}

void CSignDlg::OnOK() {
    TakePassword();
    const int entry = keys_->currentIndex();
    int index = -1;
    if (!session_.KeyAtEntry(entry, index)) return;
    if (index != session_.selectedIndex()) {
        ApplySelection();
        if (!session_.KeyAtEntry(entry, index)) return;
    }
    if (session_.SignPressed(index, typed_, *this)) done(ui::kIdOk);
}

void CSignDlg::OnCancel() {
    done(ui::kIdCancel);
}

void CSignDlg::OnCommand(int id) {
    if (id == kIdExpand) {
        expanded_ = !expanded_;
        SetExpandButton();
        Layout();
        return;
    }
    if (id != kIdKeyboard) return;
    CKeyboardDlg keyboard(this);
    keyboard.SetMaxLength(static_cast<std::size_t>(password_->maxLength()));
    if (keyboard.DoModal() != ui::kIdOk) return;
    typed_ = keyboard.Text();
    password_->setText(Qs(typed_.view()));
    masked_ = false;
    password_->setFocus(Qt::OtherFocusReason);
}

bool CSignDlg::eventFilter(QObject* watched, QEvent* event) {
    // Label tips: a cut cell shows its whole text when the pointer rests on it.
    if (watched == table_->viewport() && event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = table_->indexAt(help->pos());
        if (index.isValid()) {
            const QString text = index.data().toString();
            const QRect cell = table_->visualRect(index);
            if (table_->fontMetrics().horizontalAdvance(text) > cell.width() - 6) {
                QToolTip::showText(help->globalPos(), text, table_->viewport(), cell);
                return true;
            }
        }
        QToolTip::hideText();
        return true;
    }
    return CDialogBase::eventFilter(watched, event);
}

int RunSignDialog(SignSession& session) {
    CSignDlg dialog(session);
    return RunSignDialog(dialog);
}

int RunSignDialog(CSignDlg& dialog) {
    if (dialog.setUpCode_ != code::kOk) return ui::kIdCancel;
    return dialog.DoModal();
}

}  // namespace vq
