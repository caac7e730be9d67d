#pragma once
// Putting the program together: the application object, the five windows in
// their order, the event loop, and the orderly end of the worker threads.

#include <functional>

class Driver;

// Runs the program with the given driver (the USB backend or the virtual
// tester).  afterWindows runs once the five windows exist (the simulator
// adds its own window there).  Returns the entry's exit code.
int runLumKest(int argc, char** argv, Driver* driver,
               const std::function<void()>& afterWindows = nullptr);

// Creates the five windows in their order: MainWindow, ulumSaveDialog,
// frmAbout, helpWindow, printWindow.
void createWindows();
