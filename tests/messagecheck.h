#pragma once
// Checks one question that went through the message-box seam.

#include <gtest/gtest.h>

#include <string>

#include "app/messages.h"

// The message each designed caption is raised as (some captions stand on
// two messages: "No Records Selected" for saving and printing, "Memmory
// Error!" for the monitor thread and its memory).
inline bool raisedAs(const std::string& caption, MsgId id) {
    const struct {
        const char* caption;
        MsgId id;
    } designed[] = {
        {"Memmory Error!", MsgId::ThreadStartFailed},
        {"Unsaved Data", MsgId::UnsavedData},
        {"Initialization Error", MsgId::HelpInitialisationError},
        {"Device Attached", MsgId::DeviceAttached},
        {"Device Disconnected", MsgId::DeviceDisconnected},
        {"Memmory Error!", MsgId::MemoryError},
        {"Data Transfer Error", MsgId::TransferTimeout},
        {"Data Error", MsgId::DataError},
        {"New Data", MsgId::NewData},
        {"Print Error", MsgId::PrintError},
        {"No Records Selected", MsgId::NothingSelectedToPrint},
        {"No Records Selected", MsgId::NothingSelectedToSave},
        {"Internal Error", MsgId::InvalidState},
        {"File Error", MsgId::FileError},
    };
    for (const auto& d : designed)
        if (caption == d.caption && id == d.id) return true;
    return false;
}

inline void expectMessage(const MessageRequest& asked, const std::string& text,
                          const std::string& caption, MsgIcon icon, MsgButtons buttons,
                          MsgAnswer defaultAnswer = MsgAnswer::Ok) {
    EXPECT_EQ(asked.text, text);
    EXPECT_EQ(asked.caption, caption);
    EXPECT_TRUE(raisedAs(caption, asked.id)) << caption;  // what callers decide on
    EXPECT_EQ(asked.icon, icon);
    EXPECT_EQ(asked.buttons, buttons);
    EXPECT_EQ(asked.defaultAnswer, defaultAnswer);  // what Enter answers
}
