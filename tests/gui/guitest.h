#pragma once
// Shared set-up of the GUI tests: fresh windows for every test, a scripted
// message-box answerer that records each question, and a fake clock so that
// pauses take no time.

#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QWidget>
#include <deque>
#include <ostream>
#include <vector>

#include "app/messages.h"
#include "device/clock.h"

// A secondary window that has been built and is showing.
inline bool showing(const QWidget* window) { return window && window->isVisible(); }

// Failing checks on Qt strings print their text.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

class ScriptedMessages {
public:
    ScriptedMessages() {
        previous_ = setMessageHandler([this](const MessageRequest& r) {
            asked.push_back(r);
            if (answers.empty()) return r.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
            MsgAnswer a = answers.front();
            answers.pop_front();
            return a;
        });
    }
    ~ScriptedMessages() { setMessageHandler(previous_); }
    std::vector<MessageRequest> asked;
    std::deque<MsgAnswer> answers;

private:
    MessageHandler previous_;
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Puts records in place as a finished download does.
    void download(int count);

    ScriptedMessages messages;
    FakeClock clock;
    Clock* previousClock = nullptr;
    static int exitCode;
    static long monitorResult;
};
