#pragma once
// Putting the program together: the application object, the main window and
// the secondary windows built on demand, the event loop, and the orderly end
// of the worker threads.

#include <functional>

class Driver;
class QWidget;

// Runs the program with the given driver (the USB backend or the virtual
// tester).  afterWindows runs once the main window exists, before it is
// shown (the simulator adds its own window there).  Returns the entry's exit code.
int runLumKest(int argc, char** argv, Driver* driver,
               const std::function<void()>& afterWindows = nullptr);

class TulumSaveDialog;
class TfrmAbout;
class ThelpWindow;
class TprintWindow;

// Start-up: creates the main window, then reads the help topic list (which
// says so if help files are missing).  The four secondary windows are built
// when they are first shown, so that nothing the first frame does not show
// is made before it.
void createWindows();

// The secondary windows, each built at its first use: the global
// (ulumSaveDialog, frmAbout, helpWindow, printWindow) stays null until
// then, so that null means "not built, nothing to refresh".
TulumSaveDialog* saveDialog();
TfrmAbout* aboutBox();
ThelpWindow* helpViewer();
TprintWindow* printDialog();

// Runs then once window has painted its first frame (after that frame's
// painting has finished), for work that frame does not need.
void afterFirstFrame(QWidget* window, std::function<void()> then);
