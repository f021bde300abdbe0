#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <cstdlib>

#include "platform/codepage/codepage.h"
#include "platform/fs/fs.h"
#include "platform/qtui/qt_ui.h"
#include "platform/ui/json_line.h"

namespace vq::ui {

namespace {

QtMessageHandler qtHandler = nullptr;

// Drops Qt's chatter; a fatal message still goes out, as the process is about to end.
void QuietHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtFatalMsg && qtHandler) qtHandler(type, context, message);
}

bool OffscreenPlatform(std::string_view platform) {
    return platform == "offscreen" || platform.rfind("offscreen:", 0) == 0;
}

}  // namespace

UiApplication::UiApplication(int& argc, char** argv, const std::string& uiSpec) {
    if (QApplication::instance()) return;
    const bool interactive = UiKind(uiSpec) == "qt";
    // DisplayAvailable() counts QT_QPA_PLATFORM as a display, so a platform set there is kept.
    if (!DisplayAvailable()) qputenv("QT_QPA_PLATFORM", "offscreen");
    const bool debug = qEnvironmentVariable(kDebugEnv) == QLatin1String("1");
    // Decided before Qt starts: the platform plugin speaks while the application is created.
    quiet_ = !debug && (!interactive ||
                        OffscreenPlatform(qEnvironmentVariable("QT_QPA_PLATFORM").toStdString()));
    if (quiet_) qtHandler = qInstallMessageHandler(QuietHandler);
    app_ = std::make_unique<QApplication>(argc, argv);
    // A platform chosen on the command line (-platform offscreen) is known only now.
    if (!quiet_ && !debug && OffscreenPlatform(QApplication::platformName().toStdString())) {
        quiet_ = true;
        qtHandler = qInstallMessageHandler(QuietHandler);
    }
}

UiApplication::~UiApplication() {
    app_.reset();
    if (quiet_) qInstallMessageHandler(qtHandler);
}

std::string UiKind(const std::string& spec) {
    if (!spec.empty()) return spec;
    return DisplayAvailable() ? "qt" : "none";
}

bool DisplayAvailable() {
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* v = std::getenv(name);
        if (v && *v) return true;
    }
    return false;
}

std::unique_ptr<Ui> MakeUi(const std::string& spec, const std::string& transcriptPath,
                           std::string& error) {
    error.clear();
    const std::string kind = UiKind(spec);
    const auto openTranscript = [&](QtUiBase& ui, bool byDefault) {
        if (transcriptPath.empty() && !byDefault) return true;
        if (ui.transcript().Open(transcriptPath)) return true;
        error = "cannot write the transcript " + transcriptPath;
        return false;
    };
    if (kind == "qt") {
        auto ui = std::make_unique<InteractiveUi>();
        if (!openTranscript(*ui, false)) return nullptr;
        return ui;
    }
    if (kind.rfind("script:", 0) == 0) {
        const std::string file = kind.substr(7);
        if (file.empty()) {
            error = "--ui=script: needs a file name";
            return nullptr;
        }
        auto ui = std::make_unique<ScriptedUi>();
        if (!ui->LoadFile(file, error)) {
            error = file + ": " + error;
            return nullptr;
        }
        if (!openTranscript(*ui, true)) return nullptr;
        return ui;
    }
    if (kind == "none") return MakeRefusingUi();
    error = "unknown user interface \"" + spec + "\" (use qt, script:FILE or none)";
    return nullptr;
}

Transcript::~Transcript() {
    if (own_ && file_) std::fclose(file_);
}

bool Transcript::Open(const std::string& path) {
    if (own_ && file_) std::fclose(file_);
    own_ = false;
    file_ = nullptr;
    if (path.empty()) {
        file_ = stderr;
        return true;
    }
    file_ = std::fopen(path.c_str(), "w");
    own_ = file_ != nullptr;
    return file_ != nullptr;
}

void Transcript::Write(std::string_view event, std::string_view fields) {
    if (!file_) return;
    std::string line = "{\"event\":" + JsonQuote(event);
    if (!fields.empty()) {
        line += ',';
        line += fields;
    }
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), file_);
    std::fflush(file_);
}

void QtUiBase::Event(std::string_view name, std::string_view fields) {
    transcript_.Write(name, fields);
}

void QtUiBase::RecordOpen(QDialog& dialog, int resourceId) {
    transcript_.Write(
        "dialog-open",
        JsonLine().Int("id", resourceId).Str("title", dialog.windowTitle().toStdString()).Fields());
}

void QtUiBase::RecordClose(QDialog& dialog, int resourceId, int result) {
    transcript_.Write("dialog-close", JsonLine()
                                          .Int("id", resourceId)
                                          .Str("title", dialog.windowTitle().toStdString())
                                          .Int("result", result)
                                          .Fields());
}

QString FromAnsi(std::string_view ansi) {
    return QString::fromStdString(cp::AnsiToUtf8(ansi));
}

std::optional<std::string> ComponentPath(const QString& path) {
    const QByteArray utf8 = path.toUtf8();
    return fs::FromOsName(
        std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

QWidget* FindControl(QWidget& dialog, int id) {
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        const QVariant v = w->property("vq_id");
        if (v.isValid() && v.toInt() == id && w->window() == &dialog) return w;
    }
    return nullptr;
}

namespace {

std::string JsonStringArray(const QStringList& list) {
    std::string out = "[";
    for (qsizetype i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        out += JsonQuote(list[i].toStdString());
    }
    return out + "]";
}

std::string KindOf(QWidget* w) {
    const QVariant k = w->property("vq_kind");
    if (k.isValid()) return k.toString().toStdString();
    if (qobject_cast<QLineEdit*>(w)) return "edit";
    if (qobject_cast<QComboBox*>(w)) return "combo";
    if (qobject_cast<QAbstractItemView*>(w)) return "list";
    if (qobject_cast<QLabel*>(w)) return "static";
    if (qobject_cast<QAbstractButton*>(w)) return "button";
    return "custom";
}

void DumpItemView(QAbstractItemView* view, JsonLine& j) {
    QAbstractItemModel* model = view->model();
    if (!model) return;
    const int columns = model->columnCount();
    QStringList headers;
    if (qobject_cast<QHeaderView*>(view) == nullptr && columns > 0) {
        for (int c = 0; c < columns; ++c)
            headers << model->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    }
    j.Raw("columns", JsonStringArray(headers));
    std::string rows = "[";
    for (int r = 0; r < model->rowCount(); ++r) {
        QStringList cells;
        for (int c = 0; c < columns; ++c)
            cells << model->data(model->index(r, c), Qt::DisplayRole).toString();
        if (r) rows += ',';
        rows += JsonStringArray(cells);
    }
    j.Raw("rows", rows + "]");
    std::string selected = "[";
    if (QItemSelectionModel* sel = view->selectionModel()) {
        bool first = true;
        for (int r = 0; r < model->rowCount(); ++r) {
            if (!sel->isRowSelected(r, QModelIndex()) && !sel->isSelected(model->index(r, 0)))
                continue;
            if (!first) selected += ',';
            selected += std::to_string(r);
            first = false;
        }
    }
    j.Raw("selected", selected + "]");
}

}  // namespace

std::string DumpControls(QWidget& dialog) {
    std::string out = "[";
    bool first = true;
    for (QWidget* w : dialog.findChildren<QWidget*>()) {
        const QVariant id = w->property("vq_id");
        if (!id.isValid() || w->window() != &dialog || !w->isVisibleTo(&dialog)) continue;
        JsonLine j;
        j.Int("id", id.toInt()).Str("kind", KindOf(w));
        QString text;
        if (auto* e = qobject_cast<QLineEdit*>(w))
            text = e->displayText();  // masked fields stay masked
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            text = b->text();
        else if (auto* l = qobject_cast<QLabel*>(w))
            text = l->text();
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            text = g->title();
        else if (auto* c = qobject_cast<QComboBox*>(w))
            text = c->currentText();
        else if (auto* t = qobject_cast<QTextEdit*>(w))
            text = t->toPlainText();
        else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
            text = p->toPlainText();
        j.Str("text", text.toStdString()).Bool("enabled", w->isEnabled());
        if (auto* b = qobject_cast<QAbstractButton*>(w); b && b->isCheckable())
            j.Bool("checked", b->isChecked());
        const QPoint at = w->mapTo(&dialog, QPoint(0, 0));
        j.Raw("rect", "[" + std::to_string(at.x()) + "," + std::to_string(at.y()) + "," +
                          std::to_string(w->width()) + "," + std::to_string(w->height()) + "]");
        if (auto* c = qobject_cast<QComboBox*>(w)) {
            QStringList entries;
            for (int i = 0; i < c->count(); ++i) entries << c->itemText(i);
            j.Raw("entries", JsonStringArray(entries)).Int("selection", c->currentIndex());
        } else if (auto* v = qobject_cast<QAbstractItemView*>(w)) {
            DumpItemView(v, j);
        }
        if (!first) out += ',';
        out += "{" + j.Fields() + "}";
        first = false;
    }
    return out + "]";
}

}  // namespace vq::ui
