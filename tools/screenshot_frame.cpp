#include "tools/screenshot_frame.h"

#include <QColor>
#include <QFont>
#include <QPainter>
#include <QWidget>
#include <cstdio>

namespace vq::tools {

QImage Framed(QWidget& w) {
    const QImage client = w.grab().toImage();
    const int bar = 22;
    QImage out(client.width() + 2, client.height() + bar + 1, QImage::Format_RGB32);
    out.fill(QColor(43, 87, 154));
    QPainter p(&out);
    QFont font("DejaVu Sans");
    font.setPixelSize(12);
    font.setBold(true);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(8, 0, out.width() - 16, bar), Qt::AlignVCenter | Qt::AlignLeft,
               w.windowTitle());
    p.drawImage(1, bar, client);
    return out;
}

bool Save(const QImage& image, const QString& dir, const QString& name) {
    const QString path = dir + "/" + name + ".png";
    if (image.save(path, "PNG")) return true;
    std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    return false;
}

}  // namespace vq::tools
