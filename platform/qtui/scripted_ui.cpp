#include <QAbstractButton>
#include <QAbstractItemView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include "platform/qtui/qt_ui.h"
#include "platform/ui/json_line.h"

namespace vq::ui {

using Verb = ScriptCommand::Verb;

struct ScriptedUi::Run {
    Run(QDialog& d, int id) : dialog(d), resourceId(id) {}
    QDialog& dialog;
    int resourceId;
    QObject context;  // pending steps die with the run
    bool opened = false;
    Qt::MouseButtons buttons = Qt::NoButton;
};

namespace {

constexpr int kBusyPollMs = 10;

std::string Waiting(const QDialog& dialog, int resourceId) {
    return "dialog " + std::to_string(resourceId) + " \"" + dialog.windowTitle().toStdString() +
           "\"";
}

void SendMouse(QWidget& target, QEvent::Type type, QPoint local, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    const QPointF global = target.mapToGlobal(QPointF(local));
    QMouseEvent event(type, QPointF(local), target.window()->mapFromGlobal(global), global, button,
                      buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &event);
}

void Click(QWidget& w) {
    const QPoint centre = w.rect().center();
    SendMouse(w, QEvent::MouseButtonPress, centre, Qt::LeftButton, Qt::LeftButton);
    SendMouse(w, QEvent::MouseButtonRelease, centre, Qt::LeftButton, Qt::NoButton);
}

void SendKey(QWidget& target, int key, const QString& text = {}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(&target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
    QCoreApplication::sendEvent(&target, &release);
}

// The widget that takes typed text: an edit, an editable combo's edit, a text area.
QWidget* TypingTarget(QWidget* w) {
    if (auto* combo = qobject_cast<QComboBox*>(w)) return combo->lineEdit();
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QTextEdit*>(w) ||
        qobject_cast<QPlainTextEdit*>(w))
        return w;
    return nullptr;
}

void SelectAll(QWidget* w) {
    if (auto* e = qobject_cast<QLineEdit*>(w)) e->selectAll();
    if (auto* t = qobject_cast<QTextEdit*>(w)) t->selectAll();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) p->selectAll();
}

bool HasSelection(QWidget* w) {
    if (auto* e = qobject_cast<QLineEdit*>(w)) return e->hasSelectedText();
    if (auto* t = qobject_cast<QTextEdit*>(w)) return t->textCursor().hasSelection();
    if (auto* p = qobject_cast<QPlainTextEdit*>(w)) return p->textCursor().hasSelection();
    return false;
}

}  // namespace

bool ScriptedUi::Load(std::string_view text, std::string& error) {
    return script_.Load(text, error);
}

bool ScriptedUi::LoadFile(const std::string& path, std::string& error) {
    return script_.LoadFile(path, error);
}

void ScriptedUi::Fail(const ScriptCommand* at, const std::string& message) {
    if (failed_) return;
    failed_ = true;
    error_ = at ? "script line " + std::to_string(at->line) + ": " + message : message;
    std::fprintf(stderr, "veriquill: %s\n", error_.c_str());
    JsonLine j;
    if (at) j.Int("line", at->line);
    transcript_.Write("error", j.Str("message", error_).Fields());
}

const ScriptCommand* ScriptedUi::NextFor(const char* waiting) {
    if (failed_) return nullptr;
    const ScriptCommand* c = script_.Next();
    if (!c) Fail(nullptr, std::string("the script ended while ") + waiting + " waits");
    return c;
}

int ScriptedUi::RunModal(QDialog& dialog, int resourceId) {
    Run run(dialog, resourceId);
    if (failed_) {
        // Refused: the dialog never shows.
        RecordOpen(dialog, resourceId);
        RecordClose(dialog, resourceId, kIdCancel);
        return kIdCancel;
    }
    QTimer::singleShot(0, &run.context, [this, &run] { Step(run); });
    int result = dialog.exec();
    if (result == QDialog::Rejected) result = kIdCancel;
    if (!run.opened) RecordOpen(dialog, resourceId);
    RecordClose(dialog, resourceId, result);
    return result;
}

void ScriptedUi::Step(Run& run) {
    if (!run.opened) {
        RecordOpen(run.dialog, run.resourceId);
        run.opened = true;
    }
    if (!run.dialog.isVisible()) return;
    // A dialog at work (the "vq_busy" property: a worker running, its controls disabled) takes
    // no answers until it is done, as a person would wait; looking at it is allowed.
    if (run.dialog.property("vq_busy").toBool()) {
        const ScriptCommand* next = failed_ ? nullptr : script_.Peek();
        if (!next || (next->verb != Verb::kDump && next->verb != Verb::kSnapshot)) {
            QTimer::singleShot(kBusyPollMs, &run.context, [this, &run] { Step(run); });
            return;
        }
    }
    const std::string waiting = Waiting(run.dialog, run.resourceId);
    const ScriptCommand* c = failed_ ? nullptr : NextFor(waiting.c_str());
    if (!c || !Apply(run, *c) || failed_) {
        if (run.dialog.isVisible()) run.dialog.done(kIdCancel);
        return;
    }
    if (run.dialog.isVisible()) QTimer::singleShot(0, &run.context, [this, &run] { Step(run); });
}

bool ScriptedUi::Apply(Run& run, const ScriptCommand& c) {
    QDialog& dialog = run.dialog;
    const std::string waiting = Waiting(dialog, run.resourceId);
    const auto control = [&](int id) -> QWidget* {
        QWidget* w = FindControl(dialog, id);
        if (!w) {
            Fail(&c, "no control " + std::to_string(id) + " in " + waiting);
        } else if (!w->isVisibleTo(&dialog)) {
            // Nobody can reach a hidden control; a disabled one takes the events and ignores them.
            Fail(&c, "control " + std::to_string(id) + " of " + waiting + " is hidden");
            return nullptr;
        }
        return w;
    };
    switch (c.verb) {
        case Verb::kDialog:
            if (c.id != run.resourceId) {
                Fail(&c, "dialog " + std::to_string(c.id) + " expected, but " + waiting +
                             " is waiting");
                return false;
            }
            return true;
        case Verb::kMessage:
        case Verb::kFile:
        case Verb::kPrint:
            Fail(&c,
                 std::string("a ") + VerbName(c.verb) + " answer, but " + waiting + " is waiting");
            return false;
        case Verb::kType: {
            QWidget* w = control(c.id);
            if (!w) return false;
            QWidget* target = TypingTarget(w);
            if (!target) {
                Fail(&c, "control " + std::to_string(c.id) + " takes no typing");
                return false;
            }
            target->setFocus(Qt::OtherFocusReason);
            SelectAll(target);
            const QString text = QString::fromStdString(c.text);
            if (text.isEmpty() && HasSelection(target)) SendKey(*target, Qt::Key_Backspace);
            for (qsizetype i = 0; i < text.size(); ++i) {
                // One key per character (surrogate pairs stay together).
                const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
                SendKey(*target, Qt::Key_unknown, text.mid(i, n));
                i += n - 1;
            }
            return true;
        }
        case Verb::kClick: {
            QWidget* w = control(c.id);
            if (!w) return false;
            Click(*w);
            return true;
        }
        case Verb::kCheck:
        case Verb::kUncheck: {
            QWidget* w = control(c.id);
            if (!w) return false;
            auto* b = qobject_cast<QAbstractButton*>(w);
            if (!b || !b->isCheckable()) {
                Fail(&c, "control " + std::to_string(c.id) + " is no check box or radio button");
                return false;
            }
            if (b->isChecked() != (c.verb == Verb::kCheck)) Click(*b);
            return true;
        }
        case Verb::kSelect:
        case Verb::kDblClick: {
            QWidget* w = control(c.id);
            if (!w) return false;
            if (auto* combo = qobject_cast<QComboBox*>(w)) {
                if (c.verb != Verb::kSelect || c.rows.size() != 1 || c.rows[0] >= combo->count()) {
                    Fail(&c, "combo box " + std::to_string(c.id) + " has no such entry");
                    return false;
                }
                combo->setCurrentIndex(c.rows[0]);
                emit combo->activated(c.rows[0]);
                return true;
            }
            auto* view = qobject_cast<QAbstractItemView*>(w);
            QAbstractItemModel* model = view ? view->model() : nullptr;
            if (!model) {
                Fail(&c, "control " + std::to_string(c.id) + " is no list");
                return false;
            }
            for (int row : c.rows) {
                if (row >= model->rowCount()) {
                    Fail(&c, "list " + std::to_string(c.id) + " has no row " + std::to_string(row));
                    return false;
                }
            }
            if (c.verb == Verb::kSelect) {
                if (c.rows.size() > 1 &&
                    view->selectionMode() != QAbstractItemView::MultiSelection &&
                    view->selectionMode() != QAbstractItemView::ExtendedSelection) {
                    Fail(&c, "list " + std::to_string(c.id) + " takes one row only");
                    return false;
                }
                QItemSelectionModel* sel = view->selectionModel();
                sel->clear();
                view->setCurrentIndex(model->index(c.rows[0], 0));
                for (int row : c.rows)
                    sel->select(model->index(row, 0),
                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
                return true;
            }
            const QModelIndex index = model->index(c.rows[0], 0);
            view->scrollTo(index);
            QWidget* viewport = view->viewport();
            const QPoint p = view->visualRect(index).center();
            SendMouse(*viewport, QEvent::MouseButtonPress, p, Qt::LeftButton, Qt::LeftButton);
            SendMouse(*viewport, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
            SendMouse(*viewport, QEvent::MouseButtonDblClick, p, Qt::LeftButton, Qt::LeftButton);
            if (dialog.isVisible())
                SendMouse(*viewport, QEvent::MouseButtonRelease, p, Qt::LeftButton, Qt::NoButton);
            return true;
        }
        case Verb::kMouseDown:
        case Verb::kMouseUp:
        case Verb::kMouseMove: {
            const QPoint at(c.x, c.y);
            QWidget* target = dialog.childAt(at);
            if (!target) target = &dialog;
            const QPoint local = target->mapFrom(&dialog, at);
            if (c.verb == Verb::kMouseDown) {
                run.buttons = Qt::LeftButton;
                SendMouse(*target, QEvent::MouseButtonPress, local, Qt::LeftButton, run.buttons);
            } else if (c.verb == Verb::kMouseUp) {
                run.buttons = Qt::NoButton;
                SendMouse(*target, QEvent::MouseButtonRelease, local, Qt::LeftButton, run.buttons);
            } else {
                SendMouse(*target, QEvent::MouseMove, local, Qt::NoButton, run.buttons);
            }
            return true;
        }
        case Verb::kMouseLeave: {
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(&dialog, &leave);
            return true;
        }
        case Verb::kKey: {
            QWidget* target = dialog.focusWidget();
            if (!target || target->window() != &dialog) target = &dialog;
            int key = Qt::Key_Return;
            if (c.text == "escape") key = Qt::Key_Escape;
            if (c.text == "tab") key = Qt::Key_Tab;
            if (c.text == "backspace") key = Qt::Key_Backspace;
            SendKey(*target, key);
            return true;
        }
        case Verb::kDump:
            transcript_.Write("dump", JsonLine()
                                          .Int("id", run.resourceId)
                                          .Str("title", dialog.windowTitle().toStdString())
                                          .Raw("controls", DumpControls(dialog))
                                          .Fields());
            return true;
        case Verb::kSnapshot: {
            const bool saved = dialog.grab().save(QString::fromStdString(c.text), "PNG");
            if (!saved) {
                Fail(&c, "cannot write the snapshot " + c.text);
                return false;
            }
            transcript_.Write("snapshot",
                              JsonLine().Int("id", run.resourceId).Str("file", c.text).Fields());
            return true;
        }
    }
    return false;
}

int ScriptedUi::MessageBox(std::string_view text, std::string_view caption, Icon icon,
                           Buttons buttons) {
    JsonLine j;
    j.Str("text", FromAnsi(text).toStdString())
        .Str("caption", FromAnsi(caption).toStdString())
        .Str("icon", IconName(icon))
        .Str("buttons", ButtonsName(buttons));
    int answer = DismissAnswer(buttons);
    const bool refused = failed_;
    if (const ScriptCommand* c = NextFor("a message box")) {
        if (c->verb != Verb::kMessage) {
            Fail(c, std::string("a message box waits, but the script says ") + VerbName(c->verb));
        } else {
            const std::string& w = c->text;
            const bool fits = ((w == "ok") && buttons != Buttons::kYesNo) ||
                              ((w == "cancel") && buttons == Buttons::kOkCancel) ||
                              ((w == "yes" || w == "no") && buttons == Buttons::kYesNo);
            if (!fits) {
                Fail(c, "the message box has no " + w + " button (buttons " + ButtonsName(buttons) +
                            ")");
            } else {
                answer = w == "ok"       ? kIdOk
                         : w == "cancel" ? kIdCancel
                         : w == "yes"    ? kIdYes
                                         : kIdNo;
            }
        }
    }
    const char* names[] = {"", "ok", "cancel", "abort", "", "", "yes", "no"};
    j.Str("answer", names[answer]);
    if (refused || failed_) j.Bool("refused", true);
    transcript_.Write("message", j.Fields());
    return answer;
}

int ScriptedUi::OpenFile(const FileRequest& request, std::string& path) {
    JsonLine j;
    j.Str("filter", FromAnsi(request.filter).toStdString())
        .Str("default-ext", FromAnsi(request.defaultExt).toStdString())
        .Str("default-name", FromAnsi(request.defaultName).toStdString())
        .Int("flags", request.flags)
        .Bool("save", request.save);
    int result = kIdCancel;
    if (const ScriptCommand* c = NextFor("a file dialog")) {
        if (c->verb != Verb::kFile) {
            Fail(c, std::string("a file dialog waits, but the script says ") + VerbName(c->verb));
        } else if (!c->cancel) {
            QFileInfo info(QString::fromStdString(c->text));
            if (!request.defaultExt.empty() && info.suffix().isEmpty() && !info.isDir())
                info.setFile(info.filePath() + "." + FromAnsi(request.defaultExt));
            const QString full = info.absoluteFilePath();
            j.Str("answer", full.toStdString());
            if ((request.flags & kOfnFileMustExist) && !info.isFile()) {
                Fail(c, "the file dialog wants an existing file: " + full.toStdString());
            } else if ((request.flags & kOfnPathMustExist) && !info.dir().exists()) {
                Fail(c, "the file dialog wants an existing folder: " + full.toStdString());
            } else if (auto ansi = ComponentPath(full)) {
                path = *ansi;
                result = kIdOk;
            } else {
                result = kIdAbort;
            }
        }
    }
    j.Int("result", result);
    transcript_.Write("file-dialog", j.Fields());
    return result;
}

int ScriptedUi::Print(const PrintRequest& request) {
    JsonLine j;
    j.Str("document", FromAnsi(request.documentName).toStdString());
    int result = kIdCancel;
    int pages = 0;
    if (const ScriptCommand* c = NextFor("a print dialog")) {
        if (c->verb != Verb::kPrint) {
            Fail(c, std::string("a print dialog waits, but the script says ") + VerbName(c->verb));
        } else if (!c->cancel) {
            QPrinter printer(QPrinter::HighResolution);
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(QString::fromStdString(c->text));
            result = PrintTo(printer, request, pages);
            j.Str("answer", c->text);
        }
    }
    j.Int("result", result).Int("pages", pages);
    transcript_.Write("print", j.Fields());
    return result;
}

int ScriptedUi::Finish() {
    if (!failed_ && script_.Remaining() > 0)
        Fail(script_.Peek(), std::to_string(script_.Remaining()) +
                                 " script line(s) left unused when the run ended");
    transcript_.Write("end", JsonLine().Bool("ok", !failed_).Fields());
    return failed_ ? 1 : 0;
}

}  // namespace vq::ui
