#include "app/uithread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>

namespace {
std::atomic<bool> shuttingDown{false};
}

void runOnUiThread(const std::function<void()>& fn) {
    QCoreApplication* app = QCoreApplication::instance();
    const bool onUiThread = app && QThread::currentThread() == app->thread();
    if (shuttingDown && !onUiThread) return;  // no loop will run it any more
    if (onUiThread || !app) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

void setUiShuttingDown() { shuttingDown = true; }
bool uiShuttingDown() { return shuttingDown; }
