#include "save/stamp.h"

#include <atomic>

#include "app/debuglog.h"

namespace {
std::time_t systemTime() { return std::time(nullptr); }
std::atomic<StampClock> stampClock{systemTime};
}  // namespace

std::string saveStamp(std::time_t when) { return localStamp(when); }

std::string saveStamp() { return saveStamp(stampClock.load()()); }

StampClock setStampClock(StampClock clock) {
    return stampClock.exchange(clock ? clock : systemTime);
}
