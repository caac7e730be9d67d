#include "app/application.h"

#include <QApplication>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScreen>
#include <QTimer>
#include <cstdlib>
#include <exception>

#include "app/glyphs.h"
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
    ThelpWindow::readTopicList();
}

namespace {

// The platform's own style, but for the picture of the menu bar's extension
// button (shown only when the menus do not fit, which they always do here):
// the style loads it from a file, which makes Qt load every image-format
// plugin while the main window is still being built.  A drawn glyph takes
// its place.
class ProgramStyle : public QProxyStyle {
public:
    QIcon standardIcon(StandardPixmap which, const QStyleOption* option,
                       const QWidget* widget) const override {
        if (which == SP_ToolBarHorizontalExtensionButton) return glyphIcon(Glyph::Jump5);
        return QProxyStyle::standardIcon(which, option, widget);
    }
};

template <class Window>
Window* built(Window*& window) {
    if (!window) window = new Window;
    return window;
}

// Waits for the first paint of a window, then posts the work so that it
// runs once that frame is finished; removes itself afterwards.
class FirstFrameWatch : public QObject {
public:
    FirstFrameWatch(QWidget* window, std::function<void()> then)
        : QObject(window), then_(std::move(then)) {
        window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parent() && event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, parent(), std::move(then_));
            deleteLater();
        }
        return false;
    }

private:
    std::function<void()> then_;
};

}  // namespace

void afterFirstFrame(QWidget* window, std::function<void()> then) {
    new FirstFrameWatch(window, std::move(then));
}

TulumSaveDialog* saveDialog() { return built(ulumSaveDialog); }
TfrmAbout* aboutBox() { return built(frmAbout); }
ThelpWindow* helpViewer() { return built(helpWindow); }
TprintWindow* printDialog() { return built(printWindow); }

int runLumKest(int argc, char** argv, Driver* driver, const std::function<void()>& afterWindows) {
    QApplication app(argc, argv);
    try {
        QApplication::setApplicationName(QStringLiteral("LUM Kest"));
        // Closing the main window ends the program even while a secondary
        // window is open.
        QApplication::setQuitOnLastWindowClosed(false);
        QApplication::setStyle(new ProgramStyle);
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
