#include "save/stamp.h"

#include <atomic>

#include "app/debuglog.h"

namespace {
std::time_t systemTime() { return std::time(nullptr); }
std::atomic<StampClock> stampClock{systemTime};
}  // namespace

std::string saveStamp(std::time_t when) { return localStamp(when); }

std::string saveStamp() { return saveStamp(stampNow()); }

std::time_t stampNow() { return stampClock.load()(); }

std::time_t stampTime(const std::string& stamp, std::time_t fallback) {
    std::tm tm{};
    const char* end = ::strptime(stamp.c_str(), kLocalStampFormat, &tm);
    if (!end || *end != '\0') return fallback;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? fallback : t;
}

StampClock setStampClock(StampClock clock) {
    return stampClock.exchange(clock ? clock : systemTime);
}
