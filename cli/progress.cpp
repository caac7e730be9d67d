#include "cli/progress.h"

#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

// The descriptor a shown progress note is on, for a signal that ends the
// run while it shows (-1: none shown).
std::atomic<int> noteShownOn{-1};

// Ends the note's line, so that the shell's prompt does not land after it,
// then dies of the signal as if no handler were there.
extern "C" void endNoteAndDie(int signal) {
    const int fd = noteShownOn.load();
    if (fd >= 0) (void)!::write(fd, "\n", 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Whether the locale's characters are UTF-8, read without changing the
// program's locale.
bool utf8Locale() {
    const locale_t ctype = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (!ctype) return false;
    const bool utf8 = std::strcmp(::nl_langinfo_l(CODESET, ctype), "UTF-8") == 0;
    ::freelocale(ctype);
    return utf8;
}

}  // namespace

// ---- the progress note ----

Progress::Progress(const CliStreams& io, bool quiet) : err_(io.err), on_(io.progress && !quiet) {
    const char* term = std::getenv("TERM");
    plain_ = !utf8Locale() || (term && std::strcmp(term, "dumb") == 0);
}

Progress::~Progress() { clear(); }

void Progress::note(std::string text) {
    if (!on_) return;
    if (plain_)
        for (std::size_t at; (at = text.find("\u2026")) != std::string::npos;)
            text.replace(at, std::strlen("\u2026"), "...");
    clear();
    std::fputs(text.c_str(), err_);
    std::fflush(err_);
    shown_ = text.size();
    noteShownOn = fileno(err_);
}

void Progress::keep() {
    if (shown_) std::fputc('\n', err_);
    forget();
}

void Progress::clear() {
    if (shown_ && plain_)
        std::fprintf(err_, "\r%s\r", std::string(shown_, ' ').c_str());
    else if (shown_)
        std::fputs("\r\033[K", err_);
    forget();
}

void Progress::forget() {
    shown_ = 0;
    noteShownOn = -1;
}

void endNoteLineOnSignals(bool on) {
    using Handler = void (*)(int);
    static Handler previous[3] = {};
    const int endings[] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) {
        if (on)
            previous[i] = std::signal(endings[i], &endNoteAndDie);
        else
            std::signal(endings[i], previous[i]);
    }
}
