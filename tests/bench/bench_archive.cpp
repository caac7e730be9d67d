// The workshop archive: the time archiving one 123-record download adds, on
// SQLite, against putting the same number of bytes on disk with one flush;
// the history of one device in an archive of one million records, and
// lumkest-cli writing all of them as JSON and as CSV (time and peak memory,
// and the time against the sqlite3 shell's dump of the same rows), on SQLite
// and on PostgreSQL (a private server, scripts/pg-test-server.sh).
// The large archive is made in one statement, not through the archive.
// The workshop report of one device with 500 tests (PDF, web page) and of
// 5,000 devices with 100 tests each (PDF, one web page, a folder of pages),
// their archives imported from lists as history writes them.  "report" as
// the second argument runs the report's rows alone.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <chrono>
#include <map>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/archive.h"
#include "device/virtualtester.h"
#include "records/calendar.h"
#include "tests/bench/benchrow.h"
#include "tests/pgserver.h"
#include "workshop/reportmodel.h"

namespace {

constexpr int kBigArchive = 1000000;
constexpr int kDevices = 1000;  // 1,000 records each

// Fills an empty archive with kBigArchive records of kDevices devices in one
// statement, after one real download that they all name as their first.
bool fillBigArchive(const std::string& db, bool postgres) {
    std::string error;
    std::vector<bool> added;
    {
        std::unique_ptr<Archive> a = Archive::open(db, &error);
        // Received on 2026-01-01, after every test it holds, as a real
        // download is: tests dated after their receipt count for no due date.
        if (!a ||
            !a->addDownload({"Bench", "B1"}, 1767225600, {}, {}, &added, &error, RecordForm::Csv)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return false;
        }
    }
    QSqlDatabase c = QSqlDatabase::addDatabase(postgres ? "QPSQL" : "QSQLITE", "fill");
    if (postgres) {
        const std::string rest = db.substr(db.find("?host=") + 6);
        c.setHostName(QString::fromStdString(rest.substr(0, rest.find('&'))));
        c.setPort(std::atoi(rest.substr(rest.find("port=") + 5).c_str()));
        c.setUserName("postgres");
        c.setDatabaseName("lumkest");
    } else {
        c.setDatabaseName(QString::fromStdString(db));
    }
    bool ok = c.open();
    {
        QSqlQuery q(c);
        ok = ok && q.exec("BEGIN") &&
             q.exec(
                 QString("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                         "%1) INSERT INTO %3records (record_key, tester_serial, first_download, "
                         "form, device_key, device_id, test_date, test_time, test_duration, flow, "
                         "volume, "
                         "pressure_mmhg, pressure_user, peak_time, unit_code, unit, tested, "
                         "flow_ml_h, volume_ml, duration_s, peak_time_s, pressure_mmhg_value, "
                         "pressure_user_value) SELECT 'k' || i, 'B1', 1, 3, 'PUMP-' || (i % %2), "
                         "'PUMP-' || (i % %2), "
                         "'15 Jun ' || (1990 + i % 30), '12:00', '01:00:00', '5.183', '5.183', "
                         "'376', '7.27', '16:32', 112, 'PSI', (1990 + i % 30) || "
                         "'-06-15T12:00:00', 5.183, 5.183, 3600, 992, 376, 7.27 FROM n")
                     .arg(kBigArchive)
                     .arg(kDevices)
                     .arg(postgres ? "lumkest." : "")) &&
             q.exec("COMMIT") && q.exec("ANALYZE");
        if (!ok)
            std::fprintf(stderr, "filling: %s\n", q.lastError().text().toLocal8Bit().constData());
    }
    c.close();
    c = QSqlDatabase();
    QSqlDatabase::removeDatabase("fill");
    return ok;
}

// The median time of a history of one device (1,000 records).
bool historyRow(const std::string& db, const char* backend, int runs) {
    std::string error;
    std::unique_ptr<Archive> a = Archive::open(db, &error);
    std::vector<double> times;
    std::vector<ArchivedRecord> out;
    for (int i = 0; a && i < runs; ++i) {
        const HistoryFilter filter{"PUMP-" + std::to_string(i * 37 % kDevices), "", "", ""};
        const auto start = std::chrono::steady_clock::now();
        if (!a->history(filter, &out, &error) || out.size() != kBigArchive / kDevices) break;
        times.push_back(msSince(start));
    }
    if (times.size() != static_cast<std::size_t>(runs)) {
        std::fprintf(stderr, "history on %s: %s\n", backend, error.c_str());
        return false;
    }
    const double ms = median(times);
    printRow(std::string("History of one device (1,000 of 1,000,000 records), ") + backend,
             figure(ms, "ms"), "", "< 20 ms", ms < 20);
    return true;
}

// A running process's peak resident set so far (VmHWM), in kB; 0 when it
// cannot be read (the process has ended).
long peakResidentKb(pid_t pid) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "re");
    if (!f) return 0;
    char line[256];
    long kb = 0;
    while (std::fgets(line, sizeof line, f) && std::sscanf(line, "VmHWM: %ld kB", &kb) != 1) {
    }
    std::fclose(f);
    return kb;
}

// One run of a program found on PATH, its standard output into output when
// given: its time in seconds and its peak memory in MB (the child's largest
// resident set, read while it runs: the ru_maxrss wait4 gives would be this
// process's own peak when that is larger, since a spawned child takes this
// process's high-water mark with it into exec); false when it failed.
bool timedRun(std::vector<std::string> args, const char* output, double* seconds,
              double* megabytes) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_TRUNC, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    long peakKb = 0;
    pid_t ended = spawned == 0 ? 0 : -1;
    while (ended == 0) {
        peakKb = std::max(peakKb, peakResidentKb(pid));
        ::usleep(5000);
        ended = ::waitpid(pid, &status, WNOHANG);
    }
    if (ended != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s %s failed (%s)\n", args[0].c_str(),
                     args.size() > 4 ? args[4].c_str() : "",
                     spawned != 0 ? std::strerror(spawned) : std::to_string(status).c_str());
        return false;
    }
    *seconds = msSince(start) / 1000;
    *megabytes = static_cast<double>(peakKb) / 1024;
    return true;
}

// One run of lumkest-cli.
bool timedCli(std::vector<std::string> args, double* seconds, double* megabytes) {
    args.insert(args.begin(), LUMKEST_CLI_PATH);
    return timedRun(args, nullptr, seconds, megabytes);
}

// lumkest-cli writing the whole archive through one output (the median
// time, the peak memory), side by side with the database's own dump of the
// same rows, in pairs: the sqlite3 shell's (sqlite3 -json or -csv of every
// record) of sqliteCopy, the SQLite archive of the same records; on
// PostgreSQL also psql's COPY of the records table.
bool wholeHistoryRow(const std::string& db, const std::string& sqliteCopy, const char* backend,
                     const char* option, int runs, double* jsonSeconds) {
    const bool json = std::string(option) == "--json";
    const bool postgres = db != sqliteCopy;
    const std::string copy = json ? "COPY (SELECT row_to_json(r) FROM lumkest.records r) TO STDOUT"
                                  : "COPY lumkest.records TO STDOUT WITH (FORMAT csv)";
    std::vector<double> history, shell, psql;
    double peak = 0;
    for (int i = 0; i < std::min(runs, 5); ++i) {
        double seconds = 0, megabytes = 0;
        if (!timedCli({"-q", "--archive", db, "history", option, "/dev/null"}, &seconds,
                      &megabytes))
            return false;
        history.push_back(seconds);
        peak = std::max(peak, megabytes);
        if (!timedRun({"sqlite3", json ? "-json" : "-csv", sqliteCopy, "select * from records"},
                      "/dev/null", &seconds, &megabytes))
            return false;
        shell.push_back(seconds);
        if (!postgres) continue;
        if (!timedRun({"psql", "-X", "-q", "-h", pgtest::pg().dir, "-p", pgtest::pg().port, "-U",
                       "postgres", "-d", "lumkest", "-c", copy},
                      "/dev/null", &seconds, &megabytes))
            return false;
        psql.push_back(seconds);
    }
    const std::string what = json ? "JSON" : "CSV";
    // Each engine against its own dump: the sqlite3 shell's for SQLite,
    // psql's COPY for PostgreSQL (the shell's figure there is for scale).
    const double seconds = median(history),
                 ratio = seconds / (postgres ? median(psql) : median(shell));
    if (jsonSeconds && json) *jsonSeconds = seconds;
    printRow("History of 1,000,000 records as " + what + ", " + backend, figure(seconds, "s"),
             "peak memory " + figure(peak, "MB"), json ? "< 10 s, < 200 MB" : "< 200 MB",
             peak < 200 && (!json || seconds < 10));
    char value[32];
    std::snprintf(value, sizeof value, "%.2f x", ratio);
    printRow("History of 1,000,000 records as " + what + " against " +
                 (postgres ? std::string("psql's COPY")
                           : std::string("the sqlite3 shell's ") + (json ? "-json" : "-csv")) +
                 " of the same rows, " + backend,
             value,
             "history " + figure(seconds, "s") + ", sqlite3 shell " + figure(median(shell), "s") +
                 (postgres ? ", psql's COPY " + figure(median(psql), "s") : std::string()) +
                 " (medians of " + std::to_string(history.size()) + " pairs)",
             "< 1.5 x", ratio < 1.5);
    return true;
}

// An asset list of 10,000 devices (the archive's 1,000 and 9,000 never
// tested) under one model row, loaded; then the history with verdicts
// against the one without, and the whole due list.
bool verdictRows(const std::string& db, const std::string& folder, const char* backend,
                 double withoutSeconds) {
    std::string list =
        "device_id,model,set_rate_ml_h,flow_low_pct,flow_high_pct,"
        "occlusion_min_mmhg,occlusion_max_mmhg,peak_time_max_s,interval_days\r\n"
        ",P3,5,-5,5,300,900,1200,365\r\n";
    for (int i = 0; i < 10 * kDevices; ++i) list += "PUMP-" + std::to_string(i) + ",P3,,,,,,,\r\n";
    const std::string file = folder + "/assets.csv";
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return false;
    std::fwrite(list.data(), 1, list.size(), f);
    std::fclose(f);
    double seconds = 0, megabytes = 0;
    if (!timedCli({"-q", "--archive", db, "assets", file}, &seconds, &megabytes)) return false;
    printRow(std::string("Load an asset list of 10,000 devices, ") + backend, figure(seconds, "s"),
             "", "< 1 s", seconds < 1);
    if (!timedCli({"-q", "--archive", db, "history", "--json", "/dev/null"}, &seconds, &megabytes))
        return false;
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.2f x", seconds / withoutSeconds);
    printRow(std::string("History of 1,000,000 records as JSON with verdicts, ") + backend, ratio,
             "without: " + figure(withoutSeconds, "s") + ", with: " + figure(seconds, "s"),
             "< 1.2 x", seconds / withoutSeconds < 1.2);
    // Ten testers, each calibrated twice, for the due list's testers.
    std::string testers = "tester_serial,calibrated_on,calibration_due,certificate\r\n";
    for (int i = 0; i < 10; ++i)
        testers += "SN" + std::to_string(i) + ",2024-01-01,2024-12-31,C\r\nSN" +
                   std::to_string(i) + ",2025-01-01,2025-0" + std::to_string(1 + i % 9) +
                   "-28,C\r\n";
    const std::string testerFile = folder + "/testers.csv";
    f = std::fopen(testerFile.c_str(), "wb");
    if (!f) return false;
    std::fwrite(testers.data(), 1, testers.size(), f);
    std::fclose(f);
    if (!timedCli({"-q", "--archive", db, "testers", testerFile}, &seconds, &megabytes))
        return false;
    if (!timedCli({"-q", "--archive", db, "due", "--all", "--csv", "/dev/null"}, &seconds,
                  &megabytes))
        return false;
    printRow(std::string("Due list of 10,000 assets and 10 testers (--all), ") + backend,
             figure(seconds * 1000, "ms"), "the whole command", "< 200 ms", seconds < 0.2);
    if (!timedCli({"-q", "--archive", db, "unknown", "--csv", "/dev/null"}, &seconds, &megabytes))
        return false;
    printRow(std::string("Devices not in the asset list of 1,000,000 records (unknown), ") +
                 backend,
             figure(seconds * 1000, "ms"), "the whole command", "< 1 s", seconds < 1);
    return true;
}

// The workshop report's model of 1,000 devices with 100 tests each, built
// in this process: what the summary and the sections say, before anything
// is drawn.
bool reportModelRow(int runs) {
    std::string list = "device_id,model,location,set_rate_ml_h,flow_low_pct,flow_high_pct,"
                       "interval_days,asset_tag\r\n,P3,,25,-5,5,180,\r\n";
    for (int d = 0; d < 1000; ++d)
        list += "PUMP-" + std::to_string(d) + ",P3,Ward " + std::to_string(d % 40) + ",,,,,T-" +
                std::to_string(d) + "\r\n";
    std::vector<AssetRow> rows;
    std::string why;
    if (!readAssetList(list, &rows, &why)) return false;
    const JudgingList judging{1, AssetIndex(rows), 0, TesterIndex()};
    std::vector<JudgedTest> tests;
    std::vector<DueEntry> due;
    for (int d = 0; d < 1000; ++d) {
        for (int t = 0; t < 100; ++t) {
            int y, m, day;
            civilOfDays(daysOfCivil(2025, 6, 1) + t * 3, &y, &m, &day);
            static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
            TestRecord r = VirtualTester::defaultRecords().front();
            setField(r.deviceID, sizeof r.deviceID, "PUMP-" + std::to_string(d));
            setField(r.testDate, sizeof r.testDate,
                     std::to_string(day) + " " + months[m - 1] + " " + std::to_string(y));
            setField(r.flow, sizeof r.flow, std::to_string(24 + (d + t) % 3));
            tests.push_back(judging.test(r, "2026-06-01T10:00:00+00:00", "SN1"));
        }
        DueEntry e;
        e.deviceId = "PUMP-" + std::to_string(d), e.model = "P3", e.intervalDays = 180;
        e.status = d % 7 == 0 ? DueStatus::Overdue : DueStatus::Ok;
        due.push_back(std::move(e));
    }
    std::map<std::string, std::vector<JudgedTest>> byDevice;
    for (const JudgedTest& t : tests) byDevice[FIELD_TEXT(t.record, deviceID)].push_back(t);
    std::vector<double> times;
    for (int i = 0; i < std::min(runs, 5); ++i) {
        const auto start = std::chrono::steady_clock::now();
        WorkshopReportModel model({"bench.db", "", "", "", "", "2026-06-01", 30, {}}, judging, due);
        for (const JudgedTest& t : tests) model.add(t);
        const WorkshopReport report = model.build(
            "2026-06-01T10:00:00+00:00",
            [&](const WorkshopReportModel::DeviceEntry& d) { return byDevice[d.key]; });
        if (report.sections.size() != 1001) return false;
        times.push_back(msSince(start));
    }
    const double ms = median(times);
    printRow("Workshop report's summary and sections of 1,000 devices (100,000 tests)",
             figure(ms, "ms"), "the model, before drawing", "< 2 s", ms < 2000);
    return true;
}

// sqliteCopy: the SQLite archive of the same records (db itself on SQLite).
bool bigArchiveRows(const std::string& db, const std::string& sqliteCopy, const std::string& folder,
                    const char* backend, int runs) {
    double jsonSeconds = 0;
    return historyRow(db, backend, runs) &&
           wholeHistoryRow(db, sqliteCopy, backend, "--json", runs, &jsonSeconds) &&
           wholeHistoryRow(db, sqliteCopy, backend, "--csv", runs, nullptr) &&
           verdictRows(db, folder, backend, jsonSeconds);
}

bool writeText(const std::string& file, const std::string& text) {
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

// An archive of devices x tests, tested every 11 to 17 days from 2020 on,
// flows and pressures scattered about their limits, and an asset list whose
// limits narrow half way.
bool fillReportArchive(const std::string& db, const std::string& folder, int devices, int tests) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::string csv =
        "Dosimark Kest ID: Bench  SN: B1  -  Data Exported On 01/01/26 12:00:00\r\n"
        "Record Num,Device ID,Test Date,Test Time,Flow Rate,Volume Infused,Test Duration,"
        "Pressure,mmHg,Pressure,(user),OP Peak Time\r\n";
    const long long start = 18262;  // 2020-01-01
    int number = 0;
    for (int d = 0; d < devices; ++d) {
        long long day = start + d % 30;
        for (int t = 0; t < tests; ++t, day += 11 + (d + t) % 7) {
            int yy, mm, dd;
            civilOfDays(day, &yy, &mm, &dd);
            char row[256];
            std::snprintf(row, sizeof row,
                          "%d,PUMP-%04d,%d %s %d,%02d:%02d,%.1f,100,01:00:00,%d,mmHg,%.1f,kPa,"
                          "00:0%d:%02d\r\n",
                          ++number, d, dd, months[mm - 1], yy, 8 + t % 9, (t * 7) % 60,
                          25 * (1 + ((t * 37 + d) % 23 - 11) / 200.0), 480 + (t * 53 + d) % 460,
                          (480 + (t * 53 + d) % 460) * 0.1333, t % 5, (t * 13) % 60);
            csv += row;
        }
    }
    std::string list =
        "device_id,model,location,set_rate_ml_h,flow_low_pct,flow_high_pct,occlusion_min_mmhg,"
        "occlusion_max_mmhg,interval_days,valid_from\r\n"
        ",P3,,25,-5,5,500,900,180,\r\n,P3,,25,-4,4,500,880,180,2022-01-01\r\n";
    for (int d = 0; d < devices; ++d)
        list += "PUMP-" + std::to_string(10000 + d).substr(1) + ",P3,Ward " +
                std::to_string(d % 40) + ",,,,,,,\r\n";
    // Their lines on standard output are no rows of the table.
    auto cli = [&db](const std::string& command, const std::string& file) {
        return std::system(("'" LUMKEST_CLI_PATH "' -q --archive '" + db + "' " + command + " '" +
                            file + "' >/dev/null 2>&1")
                               .c_str()) == 0;
    };
    return writeText(folder + "/tests.csv", csv) && writeText(folder + "/list.csv", list) &&
           cli("import", folder + "/tests.csv") && cli("assets", folder + "/list.csv");
}

bool reportRows(const std::string& folder, int runs) {
    const std::string one = folder + "/report-one.db", many = folder + "/report-many.db";
    if (!fillReportArchive(one, folder, 1, 500) || !fillReportArchive(many, folder, 5000, 100))
        return false;
    for (const char* option : {"--pdf", "--html"}) {
        std::vector<double> times;
        double seconds = 0, megabytes = 0;
        for (int i = 0; i < std::min(runs, 5); ++i) {
            if (!timedCli({"-q", "--archive", one, "report", "--since", "2020-01-01", option,
                           "/dev/null"},
                          &seconds, &megabytes))
                return false;
            times.push_back(seconds * 1000);
        }
        const double ms = median(times);
        printRow(std::string("Workshop report of one device with 500 tests as ") +
                     (option == std::string("--pdf") ? "PDF" : "a web page"),
                 figure(ms, "ms"), "the whole command", "< 300 ms", ms < 300);
    }
    // The large workshop's report in each form, into files (a folder of
    // pages cannot be /dev/null); its memory must not grow with the devices.
    const struct {
        const char* option;
        const char* target;
        const char* form;
    } forms[] = {{"--pdf", "/report.pdf", "PDF"},
                 {"--html", "/report.html", "one web page"},
                 {"--html-dir", "/report-pages", "a folder of web pages"}};
    for (const auto& f : forms) {
        double seconds = 0, megabytes = 0;
        const std::string target = folder + f.target;
        if (!timedCli({"-q", "--archive", many, "report", "--since", "2020-01-01", f.option, target},
                      &seconds, &megabytes))
            return false;
        std::uintmax_t bytes = 0;
        if (std::filesystem::is_directory(target)) {
            for (const auto& page : std::filesystem::directory_iterator(target))
                bytes += page.file_size();
        } else {
            bytes = std::filesystem::file_size(target);
        }
        std::filesystem::remove_all(target);
        printRow(std::string("Workshop report of 5,000 devices with 100 tests each as ") + f.form,
                 figure(seconds, "s"),
                 "peak memory " + figure(megabytes, "MB") + ", " +
                     figure(static_cast<double>(bytes) / 1e6, "MB") + " written",
                 "< 300 MB", megabytes < 300);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    char folderTemplate[] = "/tmp/lumkest-bench-archive-XXXXXX";
    const char* made = ::mkdtemp(folderTemplate);
    if (!made) return 1;
    const std::string folder = made;
    int status = 0;

    // Archiving one download of 123 new records (another tester each run).
    {
        const std::vector<TestRecord> records = VirtualTester::defaultRecords();
        const std::vector<std::uint8_t> block(8194, 'B');
        std::string error;
        std::unique_ptr<Archive> a = Archive::open(folder + "/downloads.db", &error);
        std::vector<double> times, plain;
        std::vector<bool> added;
        for (int i = 0; a && i < runs; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (!a->addDownload({"Bench", "S" + std::to_string(i)}, 1000, block, records, &added,
                                &error))
                break;
            times.push_back(msSince(start));
            const auto plainStart = std::chrono::steady_clock::now();
            plainReplace(folder + "/plain",
                         std::string(block.size() + records.size() * sizeof(TestRecord), 'x'));
            plain.push_back(msSince(plainStart));
        }
        if (times.size() == static_cast<std::size_t>(runs)) {
            printRow("Archive a download of 123 new records, SQLite", figure(median(times), "ms"),
                     "same bytes written and flushed: " + figure(median(plain), "ms"), "< 10 ms",
                     median(times) < 10);
        } else {
            std::fprintf(stderr, "archiving: %s\n", error.c_str());
            status = 1;
        }
    }

    if (!reportRows(folder, runs) || !reportModelRow(runs)) status = 1;
    if (argc > 2 && argv[2] == std::string("report")) {
        std::filesystem::remove_all(folder);
        return status;
    }

    const std::string big = folder + "/big.db";
    if (!fillBigArchive(big, false) || !bigArchiveRows(big, big, folder, "SQLite", runs))
        status = 1;

    const std::string server = folder + "/pg";
    if (pgtest::startPgServer(server)) {
        const std::string db = "postgresql://postgres@/lumkest?host=" + pgtest::pg().dir +
                               "&port=" + pgtest::pg().port;
        if (!fillBigArchive(db, true) || !bigArchiveRows(db, big, folder, "PostgreSQL", runs))
            status = 1;
        pgtest::stopPgServer(server);
    } else {
        std::fprintf(stderr, "%s\n", pgtest::pg().problem.c_str());
        status = 1;
    }
    std::filesystem::remove_all(folder);
    return status;
}
