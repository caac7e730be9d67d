#pragma once
// Notices when a top-level window has been painted for the first time: at
// its first paint event a zero-time timer is posted, which runs once the
// painting of that frame (the window and all its children) has finished.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <string>

#include "startclock.h"

class FirstPaint : public QObject {
public:
    FirstPaint(QWidget* window, std::function<void()> painted)
        : window_(window), painted_(std::move(painted)) {
        window_->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == window_ && event->type() == QEvent::Paint && !seen_) {
            seen_ = true;
            QTimer::singleShot(0, this, [this] { painted_(); });
        }
        return false;
    }

private:
    QObject* window_;
    std::function<void()> painted_;
    bool seen_ = false;
};

// "start": milliseconds since the launcher started the program.
// "rss":   resident set in KB, a moment after `ready`.
inline void reportAndQuit(const std::string& mode) {
    if (mode == "rss") {
        // Let the last frame and any deferred work settle first.
        QTimer::singleShot(200, [] {
            std::printf("%ld\n", residentKb());
            std::fflush(stdout);
            QCoreApplication::exit(0);  // no close events: nothing may ask "Unsaved Data"
        });
        return;
    }
    const char* t0 = std::getenv("LUMKEST_BENCH_T0");
    const double ms = t0 ? (monotonicNs() - std::atoll(t0)) / 1e6 : -1;
    std::printf("%.3f\n", ms);
    std::fflush(stdout);
    QCoreApplication::exit(0);  // no close events: nothing may ask "Unsaved Data"
}
