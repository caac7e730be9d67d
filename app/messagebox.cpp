#include "app/messagebox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPointer>
#include <QWindow>

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

// The program's own windows: the main window and the secondary windows.
bool isProgramWindow(const QWidget* w) {
    return w && (w == MainWindow || qobject_cast<const SecondaryWindow*>(w));
}

// The program's window that the user was last in.  The platform's file and
// print dialogs and the boxes themselves do not count: a box that follows a
// file dialog (a file that could not be written, say) belongs to the window
// that opened that dialog, though no window of the program is active when
// the dialog has closed.
QPointer<QWidget> lastProgramWindow;

void followActiveWindow() {
    static QPointer<QCoreApplication> followed;
    if (followed == qApp) return;
    followed = qApp;
    QObject::connect(qApp, &QGuiApplication::focusWindowChanged, qApp, [](QWindow* window) {
        if (!window) return;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->windowHandle() == window && isProgramWindow(w)) lastProgramWindow = w;
    });
}

// A box has no owner, so once it closes the desktop may give the focus to
// any window.  It goes back to the program's window that had it (a dialog
// still open included); when no window was active (a file dialog had just
// closed), to the program's window last used; when the user was in a window
// that is not the program's (the Virtual Tester window of the training
// program, say), to the main window.
void returnFocus(QWidget* before) {
    QWidget* home = MainWindow;
    if (before && before->isVisible()) {
        if (isProgramWindow(before) || before == QApplication::activeModalWidget()) home = before;
    } else if (lastProgramWindow && lastProgramWindow->isVisible()) {
        home = lastProgramWindow;
    }
    if (home && home->isVisible()) home->activateWindow();
}

// The box itself.  Without an escape answer, Escape and the close box do
// nothing: only a button closes it.
class MessageBox : public QMessageBox {
public:
    MessageBox(Icon icon, const QString& caption, const QString& text, StandardButtons buttons,
               Qt::WindowFlags flags, MsgEscape escape)
        : QMessageBox(icon, caption, text, buttons, nullptr, flags), escape_(escape) {}

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (escape_ == MsgEscape::Nothing && event->matches(QKeySequence::Cancel)) {
            event->accept();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (escape_ == MsgEscape::Nothing && !clickedButton()) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

private:
    MsgEscape escape_;
};

MsgAnswer showBox(const MessageRequest& request) {
    QMessageBox::Icon icon = QMessageBox::Information;
    if (request.icon == MsgIcon::Warning) icon = QMessageBox::Warning;
    if (request.icon == MsgIcon::Error) icon = QMessageBox::Critical;
    QMessageBox::StandardButtons buttons = request.buttons == MsgButtons::YesNo
                                               ? (QMessageBox::Yes | QMessageBox::No)
                                               : QMessageBox::StandardButtons(QMessageBox::Ok);
    Qt::WindowFlags flags = Qt::Dialog;
    if (request.onTop) flags |= Qt::WindowStaysOnTopHint;
    MessageBox box(icon, QString::fromLatin1(request.caption.c_str()), displayText(request.text),
                   buttons, flags, request.escape);
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
    followActiveWindow();
    setMessageHandler([](const MessageRequest& request) {
        MsgAnswer answer = request.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
        runOnUiThread([&] { answer = showBox(request); });
        return answer;
    });
}
