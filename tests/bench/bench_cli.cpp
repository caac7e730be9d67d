// lumkest-cli --virtual download --csv FILE, from the start of the process to
// its exit, against the designed waits of that download: 100 ms for the
// identity answer, then 50 ms after "DD\r" and the 25 ms pause of the pass
// that sent it.  The virtual tester's block is there at once, so the next
// pass reads it and the program ends without pausing again.
//   bench_cli [runs]      (default 21)

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "benchrow.h"

extern char** environ;

namespace {

constexpr double kDesignedWaitsMs = 100 + 50 + 25;
// What starting the process, writing the file and ending it may add.
constexpr int kAimOverMs = 15;

// Milliseconds from the spawn to the exit of one run; negative on failure.
double oneRun(const std::string& csv) {
    std::string program = LUMKEST_CLI_PATH;
    std::string args[] = {"--virtual", "download", "--csv", csv};
    char* argv[] = {program.data(), args[0].data(), args[1].data(),
                    args[2].data(), args[3].data(), nullptr};
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 21;
    const std::string csv = "/tmp/lumkest-bench-cli-" + std::to_string(getpid()) + ".csv";
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        const double ms = oneRun(csv);
        if (ms < 0) {
            std::fprintf(stderr, "bench_cli: lumkest-cli failed\n");
            return 1;
        }
        times.push_back(ms);
    }
    std::remove(csv.c_str());
    const double value = median(times);
    printRow("lumkest-cli --virtual download --csv, start to exit, 123 records",
             figure(value, "ms"), figure(kDesignedWaitsMs, "ms") + " (designed waits)",
             "within " + std::to_string(kAimOverMs) + " ms of the reference",
             value - kDesignedWaitsMs < kAimOverMs);
    return 0;
}
