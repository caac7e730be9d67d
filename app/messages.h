#pragma once
// The one seam through which the program asks the user anything: every
// message box goes through showMessage().  The program installs a handler
// that shows a real box (on the user-interface thread, whichever thread
// asks); tests install a scripted answerer that records each question.
//
// Texts are passed exactly as designed, "\r" included; only the real box
// turns "\r" and "\r\n" into line breaks.

#include <functional>
#include <string>

enum class MsgIcon { Information, Warning, Error };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };
// What Escape and the close box do: give the box's own escape answer (No
// for a question, OK for a message), or nothing at all, so that only one of
// the buttons answers and the box stays until then.
enum class MsgEscape { Answers, Nothing };

// Which message a request is, set where the message is raised, so that a
// caller decides on what happened and never on a caption that may be
// reworded.
enum class MsgId {
    Other,
    ThreadStartFailed,        // "Thread Error": the monitor thread did not start
    UnsavedData,              // "Unsaved Data": exit with records not saved?
    HelpInitialisationError,  // "Initialization Error": the help topics are missing
    DeviceAttached,           // "Device Attached"
    DeviceDisconnected,       // "Device Disconnected"
    MemoryError,              // "Memmory Error!"
    TransferTimeout,          // "Data Transfer Error": the block arrived incomplete
    DataError,                // "Data Error": the block did not decode
    NewData,                  // "New Data": save the current records first?
    PrintError,               // the printer failed
    NothingSelectedToPrint,
    NothingSelectedToSave,
    InvalidState,  // the save dialog was asked for an unknown mode
    FileError,     // the file could not be written
};

struct MessageRequest {
    MsgId id = MsgId::Other;
    std::string text;
    std::string caption;
    MsgIcon icon;
    MsgButtons buttons;
    bool onTop = true;  // kept above all windows; false for an ordinary window
    // The answer that Enter gives.  A question defaults to the answer that
    // keeps the user's data; an OK box to OK.
    MsgAnswer defaultAnswer = MsgAnswer::Ok;
    // A question whose escape answer would throw data away has none.
    MsgEscape escape = MsgEscape::Answers;
};

using MessageHandler = std::function<MsgAnswer(const MessageRequest&)>;

// Shows a message box and waits until the user closes it.  Safe to call
// from any thread.  Without a handler the answer is Ok / No.  Every box has
// no owner window; most are kept on top of all windows.  A Yes / No question
// names its default answer, the same on every desktop, and whether Escape
// and the close box answer it.
MsgAnswer showMessage(MsgId id, const std::string& text, const std::string& caption, MsgIcon icon,
                      MsgButtons buttons, bool onTop = true,
                      MsgAnswer defaultAnswer = MsgAnswer::No,
                      MsgEscape escape = MsgEscape::Answers);

// Installs the handler; returns the previous one.
MessageHandler setMessageHandler(MessageHandler handler);
