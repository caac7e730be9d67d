#pragma once
// lumkest-cli: downloads from the tester and writes the saved-file formats,
// the printed layouts as PDF, JSON or the raw block, without a window.
//
//   lumkest-cli [GLOBAL OPTIONS] info
//   lumkest-cli [GLOBAL OPTIONS] download [OUTPUTS] [--sort id|date] [--archive DB]
//   lumkest-cli --archive DB history [FILTERS] OUTPUTS
//   lumkest-cli --archive DB import FILE...
// (cli/options.h has the whole command line.)
//
// Exit codes: 0 done, 2 bad usage, 3 no tester, 4 transfer or decoding
// failed, 5 an output could not be written, 6 no records to write, 7 the
// archive could not be opened or written.

#include <cstdio>

enum CliExit {
    CliDone = 0,
    CliUsage = 2,
    CliNoTester = 3,
    CliTransferFailed = 4,
    CliWriteFailed = 5,
    CliNoRecords = 6,
    CliArchiveFailed = 7,
};

struct CliStreams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool progress = false;  // stderr is a terminal: show the one-line progress note
};

// The whole program.  Makes the Qt application object it needs (a
// QGuiApplication on the offscreen platform only when PDF is asked for)
// unless one exists already; argc must live as long as the call.
int runCli(int& argc, char** argv, const CliStreams& io);
