#pragma once
// Command exchange with the open tester: the download command, the
// acknowledgement of the tester's send announcement, and the reception of
// the 8194-byte data block.

#include <atomic>
#include <cstdint>

enum LinkStateValue : std::int32_t {
    LinkIdle = 0,
    LinkDownloadRequested = 2,
    LinkCommandSent = 4,
};

extern std::atomic<std::int32_t> LinkState;
extern std::atomic<int> commandStop;

// Starts commandThread with a 32768-byte stack.  Never waits: returns -1,
// starting nothing, while a command thread of an earlier connection has not
// ended (see commandThreadEnded).  Returns a thread id, or -1.
long startCommandThread();
void stopCommandThread();
bool commandThreadRunning();
// Joins a command thread that has ended, without waiting.  True when none is
// left running, so that startCommandThread can start the next one.
bool commandThreadEnded();
// Waits up to timeoutMs (real time) for the command thread to end and joins
// it; true when none is left running.
bool joinCommandThread(unsigned timeoutMs);

// LinkIdle -> LinkDownloadRequested in one step: returns 2, else -1.
int requestDownload();
// When the link ends: a download request it had not served is dropped
// (LinkDownloadRequested -> LinkIdle in one step), so that the next tester's
// command thread does not download unasked.  Any other state is left to the
// command thread.
void dropUnservedDownloadRequest();

// The pause that ends each pass of the command thread.
constexpr unsigned kCommandPassMs = 25;

// One pass of the command thread (the 25 ms sleep included).  Returns 0 to
// go on, -1 when the thread must end.
int commandPass();
// The same pass without its closing sleep, for a caller that keeps its own
// rhythm (the command-line program stops listening once the block is in).
int commandStep();

void sendDownloadCommand();
int sendAcknowledge();
void receiveFromInstrument();

// For a caller that runs commandPass() itself on its own thread (the
// command-line program): startCommandThread then starts no thread.
void setCommandPassesByCaller(bool byCaller);

// Test hooks.  In manual mode startCommandThread starts no thread (the test
// calls commandPass itself) but otherwise behaves as usual.
int commandThreadStarts();  // threads started so far
void setCommandThreadStartFailureForTest(bool fail);
void setCommandThreadManualForTest(bool manual);
