#pragma once
// The one output format of every benchmark program: one line per figure,
//   name <TAB> value <TAB> reference <TAB> aim <TAB> met|missed
// which scripts/bench.sh gathers into its table.  Diagnostics go to stderr.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

inline double msSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// The file-system part of a save alone, as a reference: the same bytes into
// a temporary file, flushed to disk and renamed over name.
inline bool plainReplace(const std::string& name, const std::string& bytes) {
    const std::string temp = name + ".tmp";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    bool ok = ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    return ok && ::rename(temp.c_str(), name.c_str()) == 0;
}

inline double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline std::string figure(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f %s", value, unit);
    return text;
}

inline void printRow(const std::string& name, const std::string& value,
                     const std::string& reference, const std::string& aim, bool met) {
    std::printf("%s\t%s\t%s\t%s\t%s\n", name.c_str(), value.c_str(), reference.c_str(), aim.c_str(),
                met ? "met" : "missed");
    std::fflush(stdout);
}
