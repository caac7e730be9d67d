#include "app/messages.h"

#include <memory>
#include <mutex>

namespace {
std::mutex handlerMutex;
std::shared_ptr<MessageHandler> currentHandler;
}  // namespace

MsgAnswer showMessage(MsgId id, const std::string& text, const std::string& caption, MsgIcon icon,
                      MsgButtons buttons, bool onTop, MsgAnswer defaultAnswer, MsgEscape escape) {
    std::shared_ptr<MessageHandler> handler;
    {
        std::lock_guard<std::mutex> lock(handlerMutex);
        handler = currentHandler;
    }
    if (!handler || !*handler) return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
    if (buttons == MsgButtons::Ok) defaultAnswer = MsgAnswer::Ok;
    return (*handler)(
        MessageRequest{id, text, caption, icon, buttons, onTop, defaultAnswer, escape});
}

MessageHandler setMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(handlerMutex);
    MessageHandler previous = currentHandler ? *currentHandler : MessageHandler();
    currentHandler = std::make_shared<MessageHandler>(std::move(handler));
    return previous;
}
