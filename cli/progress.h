#pragma once
// lumkest-cli's one-line progress note on standard error, shown only on a
// terminal and without -q.

#include <cstdio>
#include <string>

#include "cli/cli.h"

// The one-line progress note on a terminal: each note replaces the last.
// Where the locale is not UTF-8 or the terminal is dumb, in plain ASCII and
// without escape sequences (the old note is overwritten with spaces).
class Progress {
public:
    Progress(const CliStreams& io, bool quiet);
    ~Progress();
    void note(std::string text);
    void keep();  // the last note stays on its line
    void clear();

private:
    void forget();
    std::FILE* err_;
    bool on_;
    bool plain_ = false;
    std::size_t shown_ = 0;  // the length of the note showing
};

// Ends a shown progress note's line when a signal ends the program.
void endNoteLineOnSignals(bool on);
