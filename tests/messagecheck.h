#pragma once
// Checks one question that went through the message-box seam.

#include <gtest/gtest.h>

#include <string>

#include "app/messages.h"

inline void expectMessage(const MessageRequest& asked, const std::string& text,
                          const std::string& caption, MsgIcon icon, MsgButtons buttons,
                          MsgAnswer defaultAnswer = MsgAnswer::Ok) {
    EXPECT_EQ(asked.text, text);
    EXPECT_EQ(asked.caption, caption);
    EXPECT_EQ(asked.icon, icon);
    EXPECT_EQ(asked.buttons, buttons);
    EXPECT_EQ(asked.defaultAnswer, defaultAnswer);  // what Enter answers
}
