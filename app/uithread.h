#pragma once
// Carrying work from a worker thread over to the user-interface thread.

#include <functional>

// Runs fn on the user-interface thread and returns when it has run.  Called
// on that thread, runs fn at once.  Once shutting down, fn is dropped.
void runOnUiThread(const std::function<void()>& fn);

// Marks the end of the event loop: later requests from workers are dropped
// instead of waiting for a loop that no longer runs.
void setUiShuttingDown();
bool uiShuttingDown();
