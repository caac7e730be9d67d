#include "app/systemdialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QPrintDialog>
#include <QPrinter>

namespace {

SaveFileHandler saveFileHandler;
PrintDialogHandler printDialogHandler;

QString qtSaveFileDialog(const SaveFileRequest& request) {
    // Widget-based, so that it looks and reads the same on every desktop and
    // to screen readers.  It asks before replacing a file and can be resized.
    // A folder that is not there would be taken as the name of a file to
    // propose: the dialog then starts where it starts by default, with its
    // name field empty.
    const QString folder = QFileInfo(request.startFolder).isDir() ? request.startFolder : QString();
    QFileDialog dialog(nullptr, request.title, folder);
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(request.filters);
    dialog.setDefaultSuffix(request.defaultSuffix);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted) return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

bool qtPrintDialog(QPrinter* printer) {
    QPrintDialog dialog(printer);
    dialog.setWindowFlag(Qt::WindowStaysOnTopHint);
    // The report always prints whole: offer no page range or selection that
    // the job would not honour.
    dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
    printer->setPrintRange(QPrinter::AllPages);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace

QString askSaveFileName(const SaveFileRequest& request) {
    return saveFileHandler ? saveFileHandler(request) : qtSaveFileDialog(request);
}

bool askPrintSettings(QPrinter* printer) {
    return printDialogHandler ? printDialogHandler(printer) : qtPrintDialog(printer);
}

SaveFileHandler setSaveFileHandler(SaveFileHandler handler) {
    SaveFileHandler previous = std::move(saveFileHandler);
    saveFileHandler = std::move(handler);
    return previous;
}

PrintDialogHandler setPrintDialogHandler(PrintDialogHandler handler) {
    PrintDialogHandler previous = std::move(printDialogHandler);
    printDialogHandler = std::move(handler);
    return previous;
}
