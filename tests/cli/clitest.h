#pragma once
// lumkest-cli run in this process over the virtual tester on a fake clock,
// for the tests of each command (tests/cli/test_*.cpp): the fixture, its
// run, and records that are awkward to write.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPrinter>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>

#include "cli/cli.h"
#include "device/clock.h"
#include "device/decode.h"
#include "device/monitor.h"
#include "device/virtualtester.h"
#include "print/qtcanvas.h"
#include "print/report.h"
#include "records/recordstore.h"
#include "records/sort.h"
#include "save/stamp.h"
#include "save/savefile.h"
#include "save/writers.h"
#include "tests/core/records.h"
#include "tests/files.h"
#include "tests/pgserver.h"

namespace fs = std::filesystem;

namespace clitest {

inline constexpr std::time_t kStamp = 1796638052;  // any fixed moment
inline std::time_t fixedStamp() { return kStamp; }

inline std::string slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) s.append(buf, n);
    std::fclose(f);
    return s;
}

// What a command run through popen printed.
// pdftotext's reading of a PDF, page by page.
inline std::string pdfText(const std::string& file) {
    const std::string txt = file + ".txt";
    const std::string command = "pdftotext -layout '" + file + "' '" + txt + "'";
    if (std::system(command.c_str()) != 0) return "pdftotext failed on " + file;
    return readFile(txt);
}

inline std::string slurpPipe(std::FILE* pipe) {
    std::string s;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) s.append(buf, n);
    ::pclose(pipe);
    return s;
}

inline std::string latin1(const QJsonValue& v) { return v.toString().toLatin1().toStdString(); }

// A record's ten texts, for comparing records wherever they come from.
inline std::vector<std::string> texts(const TestRecord& r) {
    return {FIELD_TEXT(r, deviceID),        FIELD_TEXT(r, testDate),     FIELD_TEXT(r, testTime),
            FIELD_TEXT(r, testDuration),    FIELD_TEXT(r, flow),         FIELD_TEXT(r, volume),
            FIELD_TEXT(r, pressureMMHG),    FIELD_TEXT(r, pressureUser), unitName(r.pressureUnits),
            FIELD_TEXT(r, peakPressureTime)};
}

// Commas, a code that is no unit, bytes above 127, format sequences, a field
// filling its whole width.
inline std::vector<TestRecord> awkwardRecords() {
    return {makeRecord("12,34", "5 Jun 2004", "09:15", 'x'),
            makeRecord("%s%n\xe9\xff", "30 Jan 2004", "18:34", 'k'),
            makeRecord("ABCDEFGHIJKLMNOP", "29 Dec 2003", "23:59", 'b'),
            makeRecord("abc", "5 Jun 2004", "07:00"),
            makeRecord("q\"\\\x01\x1f\x7f\t", "6 Jun 2004", "07:00")};
}

// The keys of the members at one depth of indented JSON, in their order.
inline std::vector<std::string> jsonKeys(const std::string& json, std::size_t indent) {
    std::vector<std::string> keys;
    const std::string start = "\n" + std::string(indent, ' ') + "\"";
    for (std::size_t at = json.find(start); at != std::string::npos; at = json.find(start, at + 1))
        keys.push_back(json.substr(at + start.size(), json.find('"', at + start.size()) -
                                                          at - start.size()));
    return keys;
}

struct Ran {
    int code;
    std::string out, err;
};

class Cli : public ::testing::Test {
protected:
    void SetUp() override {
        resetMonitorForTest();
        resetSharedStateForTest();
        setClock(&clock_);
        previousStamp_ = setStampClock(&fixedStamp);
        dir_ = fs::temp_directory_path() / ("lumkest-cli-test-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // What an archive could not take is kept here, not in the user's own
        // state folder (the programs this test starts inherit it).
        const char* state = std::getenv("XDG_STATE_HOME");
        previousState_ = state ? std::optional<std::string>(state) : std::nullopt;
        ::setenv("XDG_STATE_HOME", (dir_ / "state").c_str(), 1);
    }
    void TearDown() override {
        if (previousState_)
            ::setenv("XDG_STATE_HOME", previousState_->c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
        setStampClock(previousStamp_);
        setClock(nullptr);
        resetMonitorForTest();
        resetSharedStateForTest();
        fs::remove_all(dir_);
    }

    // out: standard output, a temporary file unless given.
    Ran run(std::vector<std::string> args, bool terminal = false, std::FILE* out = nullptr) {
        args.insert(args.begin(), "lumkest-cli");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int argc = static_cast<int>(args.size());
        CliStreams io{out ? out : std::tmpfile(), std::tmpfile(), terminal};
        const int code = runCli(argc, argv.data(), io);
        std::string text = slurp(io.out);
        return {code, text, slurp(io.err)};
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    FakeClock clock_;
    StampClock previousStamp_ = nullptr;
    std::optional<std::string> previousState_;
    fs::path dir_;
};

}  // namespace clitest
