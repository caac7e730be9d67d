#include "app/messagebox.h"

#include <QMessageBox>

#include "app/uithread.h"

QString displayText(const std::string& text) {
    QString s = QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
}

namespace {

MsgAnswer showBox(const MessageRequest& request) {
    QMessageBox::Icon icon = QMessageBox::Information;
    if (request.icon == MsgIcon::Warning) icon = QMessageBox::Warning;
    if (request.icon == MsgIcon::Error) icon = QMessageBox::Critical;
    QMessageBox::StandardButtons buttons = request.buttons == MsgButtons::YesNo
                                               ? (QMessageBox::Yes | QMessageBox::No)
                                               : QMessageBox::StandardButtons(QMessageBox::Ok);
    Qt::WindowFlags flags = Qt::Dialog;
    if (request.onTop) flags |= Qt::WindowStaysOnTopHint;
    QMessageBox box(icon, QString::fromLatin1(request.caption.c_str()),
                    displayText(request.text), buttons, nullptr, flags);
    int result = box.exec();
    if (request.buttons == MsgButtons::Ok) return MsgAnswer::Ok;
    return result == QMessageBox::Yes ? MsgAnswer::Yes : MsgAnswer::No;
}

}  // namespace

void installMessageBoxes() {
    setMessageHandler([](const MessageRequest& request) {
        MsgAnswer answer = request.buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
        runOnUiThread([&] { answer = showBox(request); });
        return answer;
    });
}
