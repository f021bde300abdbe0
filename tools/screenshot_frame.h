// What both screenshot programs put around a dialog and how they write the picture.
#pragma once

#include <QImage>
#include <QString>

class QWidget;

namespace vq::tools {

// The client picture under a plain caption bar carrying the window title.
QImage Framed(QWidget& w);

// Writes `image` as DIR/NAME.png; false (with a line on stderr) when it cannot.
bool Save(const QImage& image, const QString& dir, const QString& name);

}  // namespace vq::tools
