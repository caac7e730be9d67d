// Start-up and memory against a bare Qt window, in the same run: starts
// bench_app_start and bench_bare_window (found beside this program) in turn,
// each several times, and prints the medians.
//   bench_startup [runs]      (default 11)

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "benchrow.h"
#include "startclock.h"

namespace {

std::string here;

// Runs one program with one argument and reads the number it prints; -1
// when it fails.
double runOnce(const std::string& program, const char* mode) {
    int out[2];
    if (pipe(out) != 0) return -1;
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        const std::string path = here + "/" + program;
        setenv("LUMKEST_BENCH_T0", std::to_string(monotonicNs()).c_str(), 1);
        execl(path.c_str(), path.c_str(), mode, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) {
        std::fprintf(stderr, "%s %s failed\n", program.c_str(), mode);
        return -1;
    }
    return std::atof(text.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    here = argv[0];
    here = here.find('/') == std::string::npos ? "." : here.substr(0, here.rfind('/'));
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);

    std::vector<double> appMs, bareMs, appKb, bareKb;
    runOnce("bench_app_start", "start");  // fills the page cache for both
    runOnce("bench_bare_window", "start");
    for (int i = 0; i < runs; ++i) {
        appMs.push_back(runOnce("bench_app_start", "start"));
        bareMs.push_back(runOnce("bench_bare_window", "start"));
        appKb.push_back(runOnce("bench_app_start", "rss"));
        bareKb.push_back(runOnce("bench_bare_window", "rss"));
    }
    for (const auto* v : {&appMs, &bareMs, &appKb, &bareKb})
        for (double x : *v)
            if (x < 0) return 1;

    const double app = median(appMs), bare = median(bareMs);
    printRow("Cold start to main window painted", figure(app, "ms"),
             figure(bare, "ms") + " (bare window)", "within 10 % of the reference",
             app <= bare * 1.10);
    const double appMb = median(appKb) / 1024, bareMb = median(bareKb) / 1024;
    printRow("Resident memory after a download of 123 records", figure(appMb, "MB"),
             figure(bareMb, "MB") + " (bare window)", "within 3 MB of the reference",
             appMb - bareMb <= 3.0);
    return 0;
}
