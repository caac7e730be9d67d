#pragma once
// Carrying work from a worker thread over to the user-interface thread.

#include <functional>

// Runs fn on the user-interface thread and returns when it has run.  Called
// on that thread, runs fn at once.  Once the event loop has ended, fn is
// refused: not run, and the worker returns at once, also a worker that was
// already waiting for a request the loop never reached.
void runOnUiThread(const std::function<void()>& fn);

// Marks the end of the event loop (called on the user-interface thread once
// the loop has returned): every request waiting and to come is refused.
void setUiShuttingDown();
bool uiShuttingDown();
void resetUiHandOversForTest();  // a new loop may run requests again
