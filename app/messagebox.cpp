#include "app/messagebox.h"

#include <QApplication>
#include <QMessageBox>

#include "app/microLUM.h"
#include "app/secondarywindow.h"
#include "app/uithread.h"

QString displayText(const std::string& text) {
    QString s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

namespace {

// A box has no owner, so once it closes the desktop may give the focus to
// any window.  It goes back to the program's window that had it (a dialog
// still open included), or to the main window when the user was in none of
// them: in the Virtual Tester window of the training program, say.
void returnFocus(QWidget* before) {
    const bool ours = before && before->isVisible() &&
                      (before == MainWindow || qobject_cast<SecondaryWindow*>(before) ||
                       before == QApplication::activeModalWidget());
    QWidget* home = ours ? before : MainWindow;
    if (home && home->isVisible()) home->activateWindow();
}

MsgAnswer showBox(const MessageRequest& request) {
    QMessageBox::Icon icon = QMessageBox::Information;
    if (request.icon == MsgIcon::Warning) icon = QMessageBox::Warning;
    if (request.icon == MsgIcon::Error) icon = QMessageBox::Critical;
    QMessageBox::StandardButtons buttons = request.buttons == MsgButtons::YesNo
                                               ? (QMessageBox::Yes | QMessageBox::No)
                                               : QMessageBox::StandardButtons(QMessageBox::Ok);
    Qt::WindowFlags flags = Qt::Dialog;
    if (request.onTop) flags |= Qt::WindowStaysOnTopHint;
    QMessageBox box(icon, QString::fromLatin1(request.caption.c_str()),
                    displayText(request.text), buttons, nullptr, flags);
    // Set on every desktop: left to the style, Enter would answer Yes on one
    // and No on another.
    if (request.buttons == MsgButtons::YesNo)
        box.setDefaultButton(request.defaultAnswer == MsgAnswer::Yes ? QMessageBox::Yes
                                                                     : QMessageBox::No);
    QWidget* before = QApplication::activeWindow();
    int result = box.exec();
    returnFocus(before);
    if (request.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return result == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

}  // namespace

void installMessageBoxes() {
    setMessageHandler([](const MessageRequest& request) {
        MsgAnswer answer = request.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
        runOnUiThread([&] { answer = showBox(request); });
        return answer;
    });
}
