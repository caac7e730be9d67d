#include "app/secondarywindow.h"

#include "app/microLUM.h"

SecondaryWindow::SecondaryWindow(const QString& caption, int clientWidth, int clientHeight)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint) {
    setWindowTitle(caption);
    setModal(false);
    setFixedSize(clientWidth, clientHeight);
}

void SecondaryWindow::centreOn(const QWidget* owner) {
    if (!owner) return;
    move(owner->frameGeometry().center() - rect().center());
}

void SecondaryWindow::closeToMainWindow() {
    hide();
    if (MainWindow) MainWindow->activateWindow();
}

void SecondaryWindow::reject() { closeToMainWindow(); }
