#include "app/debuglog.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "records/testrecord.h"

std::atomic<int> logState{2};

namespace {

// Set once by initDebugLog (before logState becomes 0) and read by writers
// only after they have taken the log, so the log word orders the accesses.
std::string logFileName;
bool haveLogFileName = false;
std::string folderOverride;

constexpr int kMaxYields = 128;

void reportInitError() { std::fputs("Error Initializing Debug Log File\n", stderr); }

// Opens the log for writing (truncated) or appending.  The file is made
// readable by all and writable by its owner only, whatever the umask.
std::FILE* openLog(const std::string& path, bool append) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC),
                    0644);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, append ? "a" : "w");
    if (!f) ::close(fd);
    return f;
}

// Takes the log: waits (yielding) for 0 and sets 1 in one indivisible step.
bool acquireLog() {
    for (int yields = 0; yields < kMaxYields; ++yields) {
        int expected = 0;
        if (logState.compare_exchange_strong(expected, 1)) return true;
        std::this_thread::yield();
    }
    return false;
}

void writeRecordDump(std::FILE* f, const TestRecord* r) {
    auto text = [r](const char* field) { return r ? field : "NULL"; };
    std::fprintf(f, "      pressureUnits:    %c\n", r ? r->pressureUnits : '!');
    std::fprintf(f, "      deviceID:         %s\n", text(r ? r->deviceID : nullptr));
    std::fprintf(f, "      flow:             %s\n", text(r ? r->flow : nullptr));
    std::fprintf(f, "      pressureMMHG:     %s\n", text(r ? r->pressureMMHG : nullptr));
    std::fprintf(f, "      pressureUser:     %s\n", text(r ? r->pressureUser : nullptr));
    std::fprintf(f, "      volume:           %s\n", text(r ? r->volume : nullptr));
    std::fprintf(f, "      peakPressureTime: %s\n", text(r ? r->peakPressureTime : nullptr));
    std::fprintf(f, "      testDuration:     %s\n", text(r ? r->testDuration : nullptr));
    std::fprintf(f, "      testTime:         %s\n", text(r ? r->testTime : nullptr));
    std::fprintf(f, "      testDate:         %s\n", text(r ? r->testDate : nullptr));
    std::fprintf(f, "      selected:         %d\n", r ? static_cast<int>(r->selected) : -1);
}

void writeLine(std::FILE* f, const char* stamp, const char* message, char typeCode,
               const void* value, const char* unit, int line) {
    const char* msg = message ? message : "";
    switch (typeCode) {
        case 's':
            std::fprintf(f, "%s - %s - Line %d - %s - %s\n", stamp, unit, line, msg,
                         value ? static_cast<const char*>(value) : "");
            break;
        case 'd':
            std::fprintf(f, "%s - %s - Line %d - %s - %d\n", stamp, unit, line, msg,
                         value ? *static_cast<const std::int32_t*>(value) : -1234);
            break;
        case 'f':
            std::fprintf(f, "%s - %s - Line %d - %s - %f\n", stamp, unit, line, msg,
                         value ? *static_cast<const double*>(value) : -1234.0);
            break;
        case 'c':
            std::fprintf(f, "%s - %s - Line %d - %s - %c\n", stamp, unit, line, msg,
                         value ? *static_cast<const char*>(value) : ' ');
            break;
        case 'x':
            std::fprintf(f, "%s - %s - Line %d - %s - 0x%4.4x\n", stamp, unit, line, msg,
                         static_cast<unsigned>(value ? *static_cast<const std::int32_t*>(value)
                                                     : -4660));
            break;
        case 'D':
            std::fprintf(f, "%s - %s - Line %d - %s\n", stamp, unit, line, msg);
            writeRecordDump(f, static_cast<const TestRecord*>(value));
            break;
        default:
            std::fprintf(f, "%s - %s - Line %d - %s\n", stamp, unit, line, msg);
            break;
    }
}

}  // namespace

std::string userStateFolder() {
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/lumkest/";
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/') {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw ? pw->pw_dir : nullptr;
    }
    if (!home || home[0] != '/') return {};
    return std::string(home) + "/.local/state/lumkest/";
}

bool makePrivateFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string part = path.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const char* const kLocalStampFormat = "%m/%d/%y %H:%M:%S";

std::string localStamp() { return localStamp(std::time(nullptr)); }

std::string localStamp(std::time_t when) {
    std::tm tmNow{};
    localtime_r(&when, &tmNow);
    char buf[100];
    if (std::strftime(buf, sizeof buf, kLocalStampFormat, &tmNow) == 0) buf[0] = '\0';
    return buf;
}

std::string executableFolder() {
    if (!folderOverride.empty()) return folderOverride;
    char path[1024];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    path[n] = '\0';
    std::string full(path);
    auto slash = full.rfind('/');
    return slash == std::string::npos ? std::string("./") : full.substr(0, slash + 1);
}

void initDebugLog(const char* fileName) {
    try {
        std::string joined = executableFolder() + (fileName ? fileName : "");
        if (logState.load() != 2) {
            reportInitError();
            logState = 2;
            return;
        }
        logState = 1;
        if (haveLogFileName) {
            reportInitError();
            logState = 2;
            return;
        }
        logFileName = joined;
        haveLogFileName = true;
        std::FILE* f = openLog(logFileName, false);
        if (!f) {
            // An installed program's folder is not writable by its users:
            // the same log then goes to the user's state folder.
            std::string folder = userStateFolder();
            if (!folder.empty() && makePrivateFolders(folder)) {
                logFileName = folder + (fileName ? fileName : "");
                f = openLog(logFileName, false);
            }
        }
        if (!f) {
            logFileName.clear();
            haveLogFileName = false;
            reportInitError();
            logState = 2;
            return;
        }
        std::fprintf(f, "%s - Logging Initialized\n", localStamp().c_str());
        std::fflush(f);
        std::fclose(f);
        logState = 0;
    } catch (...) {
        reportInitError();
        logState = 2;
    }
}

void writeDebugLog(const char* message, char typeCode, const void* value, const char* sourceUnit,
                   int line) {
    if (!acquireLog()) return;
    std::FILE* f = nullptr;
    try {
        f = openLog(logFileName, true);
        if (!f) return;  // logState stays 1: logging ends for the rest of the run
        std::string stamp = localStamp();
        writeLine(f, stamp.c_str(), message, typeCode, value, sourceUnit ? sourceUnit : "", line);
        std::fflush(f);
        std::fclose(f);
        logState = 0;
    } catch (...) {
        if (f) std::fclose(f);
        logState = 0;
    }
}

std::string debugLogFileName() { return haveLogFileName ? logFileName : std::string(); }

void resetDebugLogForTest() {
    logFileName.clear();
    haveLogFileName = false;
    logState = 2;
}

void setLogFolderForTest(const std::string& folder) { folderOverride = folder; }
