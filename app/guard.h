#pragma once
// The catch-all convention: every event handler and worker step runs its
// body through guarded().  An exception becomes one "EXCEPTION!!" log line
// naming the unit and a line number that identifies the handler; the caller
// then does its own clean-up and returns normally.

#include "app/debuglog.h"

// Runs body(); returns false (after logging) if it threw.
template <class Body>
bool guarded(const char* unit, int line, Body&& body) noexcept {
    try {
        body();
        return true;
    } catch (...) {
        writeDebugLog("EXCEPTION!!", 'm', nullptr, unit, line);
        return false;
    }
}
