#pragma once
// The one seam for the platform's own dialogs: the file-save dialog and the
// system print dialog.  The program uses Qt's dialogs; tests install scripted
// handlers that record what was asked and answer with a name, a cancel, an
// accept.

#include <QString>
#include <QStringList>
#include <functional>

class QPrinter;

struct SaveFileRequest {
    QString title;          // window title
    QString startFolder;    // empty: the dialog's own default
    QStringList filters;    // "Description (patterns)" entries, in order
    QString defaultSuffix;  // added to a name typed without an extension
};

// Returns the chosen file name, or an empty text when the user cancelled.
using SaveFileHandler = std::function<QString(const SaveFileRequest&)>;
// Shows the print dialog for printer; true when the user accepted it.
using PrintDialogHandler = std::function<bool(QPrinter*)>;

QString askSaveFileName(const SaveFileRequest& request);
bool askPrintSettings(QPrinter* printer);

// Install a handler; an empty one restores Qt's dialog.  Return the previous.
SaveFileHandler setSaveFileHandler(SaveFileHandler handler);
PrintDialogHandler setPrintDialogHandler(PrintDialogHandler handler);
