// How long saving and exporting 123 records takes, each format against the
// bare cost of putting the same bytes on disk the same safe way (a new file
// beside the target, written, flushed to disk, closed and renamed over it).

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "records/recordstore.h"
#include "save/savefile.h"
#include "save/writers.h"
#include "tests/bench/benchrow.h"
#include "tests/print/samples.h"

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    char folderTemplate[] = "/tmp/lumkest-bench-save-XXXXXX";
    const char* folder = ::mkdtemp(folderTemplate);
    if (!folder) return 1;
    const std::vector<TestRecord> records = sampleRecords(123);
    recordStore().replace(123, records);
    recordStore().fillDisplay(123);

    struct Format {
        const char* name;
        int kind;  // 0 CSV, 1 text list, 2 text records
    };
    const Format formats[] = {{"Export 123 records to CSV", 0},
                              {"Save 123 records as text, list format", 1},
                              {"Save 123 records as text, record format", 2}};
    int status = 0;
    for (const Format& f : formats) {
        const std::string file = std::string(folder) + "/out";
        std::string bytes;
        SaveSource source = currentSaveSource();
        if (f.kind == 0) csvFileText(source, AllRecords, &bytes);
        else textFileText(source, AllRecords, f.kind == 2, &bytes);
        std::vector<double> value, reference;
        for (int run = 0; run < runs; ++run) {
            auto start = std::chrono::steady_clock::now();
            const SaveResult result = f.kind == 0 ? writeCsvFile(file, AllRecords)
                                                  : writeTextFile(file, AllRecords, f.kind == 2);
            value.push_back(msSince(start));
            start = std::chrono::steady_clock::now();
            bool plain = plainReplace(file + "-plain", bytes);
            reference.push_back(msSince(start));
            if (result != SaveResult::Done || !plain) status = 1;
        }
        const double v = median(value), r = median(reference);
        printRow(std::string(f.name) + " (" + std::to_string(bytes.size() / 1024) + " KB)",
                 figure(v, "ms"), figure(r, "ms") + " (same bytes, plain write)", "under 2 ms",
                 v < 2.0);
        ::unlink(file.c_str());
        ::unlink((file + "-plain").c_str());
    }
    ::rmdir(folder);
    return status;
}
