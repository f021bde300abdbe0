#include <QPainter>
#include <QPrinter>

#include "platform/qtui/qt_ui.h"

namespace vq::ui {
namespace {

class PrinterTarget final : public PrintTarget {
  public:
    explicit PrinterTarget(QPrinter& printer) : printer_(printer) {}
    bool Begin() { return painter_.begin(&printer_); }
    bool End() { return painter_.end(); }
    QPainter& Painter() override { return painter_; }
    int PageWidth() const override { return PageRect().width(); }
    int PageHeight() const override { return PageRect().height(); }
    int Dpi() const override { return printer_.resolution(); }
    bool NewPage() override {
        if (!printer_.newPage()) return false;
        ++pages_;
        return true;
    }
    int pages() const { return pages_; }

  private:
    QRect PageRect() const { return printer_.pageLayout().paintRectPixels(printer_.resolution()); }
    QPrinter& printer_;
    QPainter painter_;
    int pages_ = 1;
};

}  // namespace

int PrintTo(QPrinter& printer, const PrintRequest& request, int& pages) {
    pages = 0;
    printer.setDocName(FromAnsi(request.documentName));
    PrinterTarget target(printer);
    if (!target.Begin()) return kIdAbort;
    const bool drawn = !request.draw || request.draw(target);
    const bool ended = target.End();
    pages = target.pages();
    return drawn && ended ? kIdOk : kIdAbort;
}

QString QtFileFilter(std::string_view mfc) {
    // Pairs of description and pattern list, separated by '|', ended by "||".
    QStringList parts = FromAnsi(mfc).split('|');
    while (!parts.isEmpty() && parts.back().isEmpty()) parts.pop_back();
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        QString patterns = parts[i + 1];
        patterns.replace(';', ' ');
        patterns = patterns.simplified();
        if (patterns == "*.*") patterns = "*";
        // Qt reads the patterns from the last parentheses of each entry.
        if (!description.endsWith(')') || !description.contains('('))
            description += " (" + patterns + ")";
        else
            description =
                description.left(description.lastIndexOf('(')).trimmed() + " (" + patterns + ")";
        filters << description;
    }
    return filters.join(";;");
}

}  // namespace vq::ui
