#include "app/application.h"

#include <QApplication>
#include <QMessageBox>
#include <QScreen>
#include <cstdlib>
#include <exception>

#include "app/messagebox.h"
#include "app/microLUM.h"
#include "app/uithread.h"
#include "device/clock.h"
#include "device/driver.h"
#include "device/monitor.h"
#include "device/usbcomm.h"
#include "help/about.h"
#include "help/ulumHelp.h"
#include "print/ulumPrint.h"
#include "save/save.h"

void createWindows() {
    MainWindow = new TMainWindow;
    ulumSaveDialog = new TulumSaveDialog;
    frmAbout = new TfrmAbout;
    helpWindow = new ThelpWindow;
    printWindow = new TprintWindow;
}

int runLumKest(int argc, char** argv, Driver* driver, const std::function<void()>& afterWindows) {
    QApplication app(argc, argv);
    try {
        QApplication::setApplicationName(QStringLiteral("LUM Kest"));
        // Closing the main window ends the program even while a secondary
        // window is open.
        QApplication::setQuitOnLastWindowClosed(false);
        setDriver(driver);
        installMessageBoxes();
        createWindows();
        if (afterWindows) afterWindows();
        QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        MainWindow->move(screen.center() - MainWindow->rect().center());
        MainWindow->show();
        QApplication::exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, QStringLiteral("LUM Kest"), QString::fromLocal8Bit(e.what()));
    } catch (...) {
        QMessageBox::critical(nullptr, QStringLiteral("LUM Kest"),
                              QStringLiteral("An unexpected error occurred."));
    }
    // The worker threads may still be in a pause, or waiting for a request
    // to this thread that the loop never reached: refuse those, cut the
    // pause short, tell both to stop and join them, so that they do not
    // outlive the objects they use.  One that will not end in time (stuck in
    // a driver call) must not run on while the static objects are destroyed:
    // the process then ends without destroying them.
    setUiShuttingDown();
    interruptSleeps();
    stopMonitorThread();
    stopCommandThread();
    if (!waitForWorkers(2500)) std::_Exit(0);
    return 0;
}
