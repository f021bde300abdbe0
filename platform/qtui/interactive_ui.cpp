#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>

#include "platform/qtui/qt_ui.h"
#include "platform/ui/json_line.h"

namespace vq::ui {

int InteractiveUi::RunModal(QDialog& dialog, int resourceId) {
    RecordOpen(dialog, resourceId);
    int result = dialog.exec();
    if (result == QDialog::Rejected) result = kIdCancel;
    RecordClose(dialog, resourceId, result);
    return result;
}

int InteractiveUi::MessageBox(std::string_view text, std::string_view caption, Icon icon,
                              Buttons buttons) {
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    if (icon == Icon::kError) qicon = QMessageBox::Critical;
    if (icon == Icon::kWarning) qicon = QMessageBox::Warning;
    QMessageBox::StandardButtons qbuttons = QMessageBox::Ok;
    if (buttons == Buttons::kOkCancel) qbuttons = QMessageBox::Ok | QMessageBox::Cancel;
    if (buttons == Buttons::kYesNo) qbuttons = QMessageBox::Yes | QMessageBox::No;
    QMessageBox box(qicon, FromAnsi(caption), FromAnsi(text), qbuttons,
                    QApplication::activeModalWidget());
    int answer = DismissAnswer(buttons);
    switch (box.exec()) {
        case QMessageBox::Ok:
            answer = kIdOk;
            break;
        case QMessageBox::Cancel:
            answer = kIdCancel;
            break;
        case QMessageBox::Yes:
            answer = kIdYes;
            break;
        case QMessageBox::No:
            answer = kIdNo;
            break;
        default:
            break;
    }
    transcript_.Write("message", JsonLine()
                                     .Str("text", FromAnsi(text).toStdString())
                                     .Str("caption", FromAnsi(caption).toStdString())
                                     .Str("icon", IconName(icon))
                                     .Str("buttons", ButtonsName(buttons))
                                     .Int("answer", answer)
                                     .Fields());
    return answer;
}

int InteractiveUi::OpenFile(const FileRequest& request, std::string& path) {
    QFileDialog dialog(QApplication::activeModalWidget(), QString(), QString(),
                       QtFileFilter(request.filter));
    dialog.setAcceptMode(request.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode((request.flags & kOfnFileMustExist) ? QFileDialog::ExistingFile
                                                           : QFileDialog::AnyFile);
    if (request.save && !(request.flags & kOfnOverwritePrompt))
        dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!request.defaultExt.empty()) dialog.setDefaultSuffix(FromAnsi(request.defaultExt));
    if (!request.defaultName.empty()) dialog.selectFile(FromAnsi(request.defaultName));
    int result = kIdCancel;
    std::string chosen;
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        const QString file = dialog.selectedFiles().first();
        chosen = file.toStdString();
        if (auto ansi = ComponentPath(file)) {
            path = *ansi;
            result = kIdOk;
        } else {
            result = kIdAbort;
        }
    }
    JsonLine j;
    j.Str("filter", FromAnsi(request.filter).toStdString())
        .Str("default-ext", FromAnsi(request.defaultExt).toStdString())
        .Str("default-name", FromAnsi(request.defaultName).toStdString())
        .Int("flags", request.flags)
        .Bool("save", request.save)
        .Int("result", result);
    if (!chosen.empty()) j.Str("answer", chosen);
    transcript_.Write("file-dialog", j.Fields());
    return result;
}

int InteractiveUi::Print(const PrintRequest& request) {
    QPrinter printer(QPrinter::HighResolution);
    QPrintDialog dialog(&printer, QApplication::activeModalWidget());
    dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    int result = kIdCancel;
    int pages = 0;
    if (dialog.exec() == QDialog::Accepted) result = PrintTo(printer, request, pages);
    transcript_.Write("print", JsonLine()
                                   .Str("document", FromAnsi(request.documentName).toStdString())
                                   .Int("result", result)
                                   .Int("pages", pages)
                                   .Fields());
    return result;
}

}  // namespace vq::ui
