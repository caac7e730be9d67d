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
    if (!app || QThread::currentThread() == app->thread()) {
        fn();
        return;
    }
    if (shuttingDown) return;
    QMetaObject::invokeMethod(app, fn, Qt::BlockingQueuedConnection);
}

void setUiShuttingDown() { shuttingDown = true; }
bool uiShuttingDown() { return shuttingDown; }
