#include "tools/screenshot_frame.h"

#include <QColor>
#include <QDir>
#include <QFont>
#include <QPainter>
#include <QWidget>
#include <cstdio>

namespace vq::tools {

std::optional<QString> OutputDir(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", argv[0]);
        return std::nullopt;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    return dir;
}

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
