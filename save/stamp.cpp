#include "save/stamp.h"

#include <atomic>

namespace {
std::time_t systemTime() { return std::time(nullptr); }
std::atomic<StampClock> stampClock{systemTime};
}  // namespace

std::string saveStamp(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char text[120];
    std::size_t n = std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S", &local);
    return std::string(text, n);
}

std::string saveStamp() { return saveStamp(stampClock.load()()); }

StampClock setStampClock(StampClock clock) {
    return stampClock.exchange(clock ? clock : systemTime);
}
