#pragma once
// The one output format of every benchmark program: one line per figure,
//   name <TAB> value <TAB> reference <TAB> aim <TAB> met|missed
// which scripts/bench.sh gathers into its table.  Diagnostics go to stderr.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

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
    std::printf("%s\t%s\t%s\t%s\t%s\n", name.c_str(), value.c_str(), reference.c_str(),
                aim.c_str(), met ? "met" : "missed");
    std::fflush(stdout);
}
