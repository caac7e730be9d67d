// lumkest-sim: the program with a virtual tester in place of the USB link,
// and a Virtual Tester window to drive it.  Its options are read here,
// before Qt starts, so that a bad option or file ends the run with status 2
// before any window opens; the arguments it does not know are Qt's.

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdio>
#include <string>
#include <vector>

#include "app/application.h"
#include "app/microLUM.h"
#include "device/simoptions.h"
#include "device/virtualtester.h"
#include "device/virtualtesterwindow.h"

namespace {

std::string programName(const char* argv0) {
    std::string name = argv0 && *argv0 ? argv0 : "lumkest-sim";
    const std::size_t slash = name.find_last_of('/');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

// Creates the Virtual Tester window beside the main window.  It is
// deleted while the application still exists; closing it only hides it, and
// it never keeps the program running.
void showTesterWindow(VirtualTester* tester, const SimOptions& opts) {
    auto* window = new VirtualTesterWindow(
        tester, opts.block, QFileInfo(QString::fromLocal8Bit(opts.blockFile.c_str())).fileName());
    // Built after the main window's first frame: its place is known.  Where
    // the desktop has not told its frame yet, allow for a title bar and
    // borders.
    QRect mainFrame = MainWindow->frameGeometry();
    if (mainFrame == MainWindow->geometry()) mainFrame.adjust(-8, -40, 8, 8);
    window->placeBeside(mainFrame);
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, window, [window] { delete window; });
    window->show();
}

}  // namespace

int main(int argc, char** argv) {
    const std::string program = programName(argc > 0 ? argv[0] : nullptr);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    SimOptions opts;
    std::string error;
    if (!parseSimOptions(args, &opts, &error)) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
        std::fprintf(stderr, "Try '%s --help'.\n", program.c_str());
        return 2;
    }
    if (opts.help) {
        std::fputs(simUsage(program).c_str(), stdout);
        return 0;
    }

    // Never destroyed: a worker thread may still be in a driver call while
    // the process ends.
    VirtualTester& tester = *new VirtualTester;
    applySimOptions(opts, &tester);

    // Qt sees the program name and the arguments left for it.
    std::vector<char*> qtArgv;
    qtArgv.push_back(argc > 0 ? argv[0] : const_cast<char*>("lumkest-sim"));
    for (std::string& a : opts.qtArgs) qtArgv.push_back(a.data());
    const int qtArgc = static_cast<int>(qtArgv.size());
    qtArgv.push_back(nullptr);

    // Ties the windows to the desktop entry (and its icon) on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral(LUMKEST_DESKTOP_ID ".Sim"));
    return runLumKest(qtArgc, qtArgv.data(), &tester, [&opts, &tester] {
        // Built once the main window's first frame is out: the program
        // starts as quickly as without it.
        if (opts.testerWindow)
            afterFirstFrame(MainWindow, [&opts, &tester] { showTesterWindow(&tester, opts); });
    });
}
