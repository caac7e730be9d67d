// LUM Kest: the program with the USB link to a real tester.

#include <QGuiApplication>

#include "app/application.h"
#include "device/ftdidriver.h"

int main(int argc, char** argv) {
    // Never destroyed: a worker thread may still be in a driver call while
    // the process ends.
    auto* usb = new FtdiDriver;
    // Ties the windows to the desktop entry (and its icon) on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral(LUMKEST_DESKTOP_ID));
    return runLumKest(argc, argv, usb);
}
