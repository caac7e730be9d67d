#pragma once
// One use of the tester by a program without windows (lumkest-cli): open and
// identify it, download its records once, close it.
//
// The caller's thread takes the monitor's and the command thread's parts in
// turn, through the very steps the window program's threads run
// (monitorPoll, requestDownload, commandPass), so the exchange on the wire is
// the same.  The records go into the record store through the link's
// headless view.  While a session lives it answers the link's message boxes
// itself and turns them into a result; only one session exists at a time,
// and no monitor or command thread may run beside it.

#include <cstdint>
#include <vector>

#include "app/messages.h"

enum class SessionResult {
    Done,
    NoTester,         // nothing could be opened within the wait
    NoIdentity,       // opened, but no 33-byte answer to "ID\r"
    CommandFailed,    // "DD\r" could not be written
    NoAnswer,         // no block began within kAnswerWaitMs of "DD\r"
    TransferTimeout,  // a block began but was cut short ("Data Transfer Error")
    DataError,        // the block held no records ("Data Error")
    Unplugged,        // the tester went away ("Device Disconnected")
};

// How long a download waits for the tester to begin its block.  The design
// has the window wait for ever (the user can click again); a script cannot,
// so it waits as long as a begun block is given to finish.
constexpr unsigned kAnswerWaitMs = 3000;

class TesterSession {
public:
    // Installs the session's message answers and block observer.
    TesterSession();
    // Closes the tester and puts everything back.
    ~TesterSession();
    TesterSession(const TesterSession&) = delete;
    TesterSession& operator=(const TesterSession&) = delete;

    // Tries at once, then once a second (the monitor's rhythm) until waitMs
    // have passed.  Done once the tester is open and identified: its identity
    // is then in instrumentIdText() / instrumentSerialText().
    SessionResult open(std::uint64_t waitMs);

    // Sends "DD\r" and runs command passes until the block has been decoded
    // into the record store, or the link has failed.
    SessionResult download();

    // The 8194-byte block exactly as received, once one reached decoding
    // (also when decoding then failed); empty otherwise.
    const std::vector<std::uint8_t>& block() const { return block_; }

private:
    MsgAnswer answer(const MessageRequest& request);

    MessageHandler previousHandler_;
    std::vector<std::uint8_t> block_;
    SessionResult shown_ = SessionResult::Done;  // what the link's last box said
};
