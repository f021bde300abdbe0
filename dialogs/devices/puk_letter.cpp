// The PUK letter: an explanation, the PUK centred on its own line and a warning, on one page.
#include <QFont>
#include <QFontMetrics>
#include <QPainter>

#include "dialogs/devices/pin_puk_dlg.h"
#include "dialogs/dialog_base.h"
#include "platform/ui/ui.h"
#include "resources/text.h"
#include "resources/text_ids.h"

namespace vq {
namespace {

constexpr int kMargin = 50;  // device units left free on every side of the printable area
constexpr int kPoints = 12;

// Overwrites a string holding the PUK before it is released.
void WipeQString(QString& s) {
    s.fill(QChar(u'\0'));
    s.clear();
}

// Height of a word-wrapped block drawn from the top of `area`. Line breaks at the end of the
// text count as lines, as they do where the letter was first printed.
int BlockHeight(QPainter& p, const QRect& area, const QString& text) {
    int trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == u'\n') ++trailing;
    const QString body = text.left(text.size() - trailing);
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;
    const int height = body.isEmpty() ? 0 : p.boundingRect(area, flags, body).height();
    return height + trailing * QFontMetrics(p.font()).lineSpacing();
}

}  // namespace

bool DrawPukLetter(ui::PrintTarget& target, const SecureString& puk) {
    QPainter& p = target.Painter();
    const QRect area(QPoint(kMargin, kMargin),
                     QPoint(target.PageWidth() - kMargin - 1, target.PageHeight() - kMargin - 1));
    if (area.width() <= 0 || area.height() <= 0) return false;

    // Arial, regular, 12 points; Central European text.
    QFont font(QStringLiteral("Arial"));
    font.setStyleHint(QFont::SansSerif, QFont::PreferOutline);
    font.setWeight(QFont::Normal);
    font.setPixelSize(target.Dpi() * kPoints / 72);
    p.setFont(font);
    p.setPen(Qt::black);
    const int wrap = Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap;

    const QString intro = Qs(LoadText(kTextPukLetterIntro));
    p.drawText(area, wrap, intro);
    int top = area.top() + BlockHeight(p, area, intro);

    // "PUK Code: %s" with the PUK, centred on one line.
    QString line = Qs(LoadText(kTextPukCode));
    const qsizetype at = line.indexOf(QStringLiteral("%s"));
    QString code = Qs(puk.view());
    if (at >= 0)
        line.replace(at, 2, code);
    else
        line += code;
    WipeQString(code);
    const QFontMetrics fm(font);
    const int width = fm.horizontalAdvance(line);
    const int left = area.left() + std::max(0, (area.width() - width) / 2);
    const QRect lineRect(left, top, area.right() - left + 1, fm.height());
    p.drawText(lineRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, line);
    top += fm.height();
    WipeQString(line);

    const QString warning = Qs(LoadText(kTextPukLetterWarning));
    p.drawText(QRect(area.left(), top, area.width(), area.bottom() - top + 1), wrap, warning);
    return true;
}

int PrintPukLetter(const SecureString& puk) {
    ui::PrintRequest request;
    request.documentName = "";
    request.draw = [&puk](ui::PrintTarget& target) { return DrawPukLetter(target, puk); };
    return ui::Current().Print(request);
}

}  // namespace vq
