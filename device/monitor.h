#pragma once
// Device monitor: a worker thread that, once a second, looks for the tester
// (while none is open) or checks that the open one is still there.

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "device/driver.h"

extern std::atomic<DeviceHandle> deviceHandle;  // written only by the monitor
extern std::atomic<int> monitorStop;

extern const char* const kInstrumentDescription;  // "Korvane Systems Dosimark Kest"
extern const char* const kStatusConnected;        // "Connected to Dosimark Kest"
extern const char* const kStatusNotConnected;     // "Not Connected"

// The tester's identity as last read; empty until one has been identified.
// Safe to call from any thread.
std::string instrumentSerialText();  // up to 12 characters
std::string instrumentIdText();      // up to 20 characters
// The 33-byte identity reply those came in, exactly as received.
std::vector<std::uint8_t> instrumentIdentityReply();

// Starts monitorThread with a 32768-byte stack.  Returns a thread id, or -1.
long startMonitorThread();
void stopMonitorThread();

// One monitor cycle (the sleep of one second included).  Returns 0 to go
// on, -1 when the thread must end.
int monitorCycle();
// The same cycle without its sleep, for a caller that keeps its own rhythm
// (the command-line program tries at once, then once a second).
int monitorPoll();

// Whether the last look for the tester (a cycle with none open) opened one,
// even if it then gave no identity and was closed again: tells a tester that
// is not there from one that does not answer.
bool lastLookOpenedTester();

// Waits up to timeoutMs for the monitor (and command) threads to end;
// returns true if they did.  Used at shutdown and by tests.
bool waitForWorkers(unsigned timeoutMs);

// Test hooks.
void resetMonitorForTest();
void setThreadStartFailureForTest(bool fail);  // thread creation fails
