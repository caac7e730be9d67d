// Serves the emulated FTDI chip, with the virtual tester behind it, to a
// program in another process (run with libumockdev-preload and UMOCKDEV_DIR).
//
// Prints "root DIR" (the value for UMOCKDEV_DIR), then answers commands on
// standard input, one a line, each with "ok":
//   block      the tester's all-records block, as hex on one line
//   unplug     the chip leaves the bus
//   plug N     it comes back, the tester now holding its first N records
//   quit       (no answer)

#include <cstdio>
#include <iostream>
#include <string>

#include "ftdichip.h"

int main() {
    VirtualTester tester;
    FtdiChip chip(tester);
    std::cout << "root " << chip.root() << std::endl;

    std::string command;
    while (std::cin >> command && command != "quit") {
        if (command == "block") {
            for (std::uint8_t b : VirtualTester::buildAllRecordsBlock(tester.records())) {
                char two[3];
                std::snprintf(two, sizeof two, "%02x", b);
                std::cout << two;
            }
            std::cout << "\n";
        } else if (command == "unplug") {
            chip.unplug();
        } else if (command == "plug") {
            std::size_t n = 0;
            std::cin >> n;
            auto records = VirtualTester::defaultRecords();
            records.resize(std::min(n, records.size()));
            tester.setRecords(records);
            chip.plugIn();
        } else {
            std::cout << "unknown command " << command << "\n";
        }
        std::cout << "ok" << std::endl;
    }
    return 0;
}
