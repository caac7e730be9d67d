#pragma once
// For the start-up benchmark: the launcher (bench_startup) puts the
// monotonic time of the moment it starts a program into LUMKEST_BENCH_T0
// (nanoseconds); the program prints how long ago that was once its window
// is painted (firstpaint.h), or its resident set, and ends.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

inline long long monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

inline long residentKb() {
    long pages = 0, resident = -1;
    if (std::FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
        std::fclose(f);
    }
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}
