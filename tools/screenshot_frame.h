// What both screenshot programs share: their one argument, the frame they put around a dialog
// and how they write the picture.
#pragma once

#include <QImage>
#include <QString>
#include <optional>

class QWidget;

namespace vq::tools {

// The output folder named by the one argument, created when missing; none, after a usage line
// on stderr, when the arguments are not just that.
std::optional<QString> OutputDir(int argc, char** argv);

// The client picture under a plain caption bar carrying the window title.
QImage Framed(QWidget& w);

// Writes `image` as DIR/NAME.png; false (with a line on stderr) when it cannot.
bool Save(const QImage& image, const QString& dir, const QString& name);

}  // namespace vq::tools
