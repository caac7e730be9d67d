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

struct MessageRequest {
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
MsgAnswer showMessage(const std::string& text, const std::string& caption, MsgIcon icon,
                      MsgButtons buttons, bool onTop = true,
                      MsgAnswer defaultAnswer = MsgAnswer::No,
                      MsgEscape escape = MsgEscape::Answers);

// Installs the handler; returns the previous one.
MessageHandler setMessageHandler(MessageHandler handler);
