#include "cli/inputs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool readHead(const std::string& name, std::size_t n, std::string* head, std::string* why) {
    head->clear();
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    head->resize(n);
    head->resize(std::fread(head->data(), 1, n, f));
    const bool ok = !std::ferror(f);
    if (!ok) *why = std::strerror(errno);
    std::fclose(f);
    return ok;
}

bool readInput(const std::string& name, const InputLimits& limits, std::string* text,
               std::string* why) {
    text->clear();
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) {
        *why = std::strerror(errno);
        return false;
    }
    const std::string tooLarge = "it is larger than " + std::to_string(limits.bytes >> 20) +
                                 " MiB, more than " + limits.what + " holds";
    struct stat st;
    bool ok = ::fstat(fileno(f), &st) == 0;
    if (!ok) {
        *why = std::strerror(errno);
    } else if (S_ISDIR(st.st_mode)) {
        *why = "it is a folder";
        ok = false;
    } else if (S_ISREG(st.st_mode) && static_cast<unsigned long long>(st.st_size) > limits.bytes) {
        *why = tooLarge;
        ok = false;
    }
    // A device or a pipe may never end: read a piece at a time, each
    // against the bounds, never more than they allow.
    char buffer[65536];
    std::size_t line = 1, lineLength = 0;
    while (ok) {
        const std::size_t n = std::fread(buffer, 1, sizeof buffer, f);
        if (n == 0) {
            if (std::ferror(f)) {
                *why = std::strerror(errno);
                ok = false;
            }
            break;
        }
        if (text->size() + n > limits.bytes) {
            *why = tooLarge;
            ok = false;
            break;
        }
        if (limits.line != 0) {
            for (std::size_t i = 0; i < n && ok; ++i) {
                if (buffer[i] == '\n') {
                    ++line;
                    lineLength = 0;
                } else if (++lineLength > limits.line) {
                    *why = "line " + std::to_string(line) + " is longer than " +
                           std::to_string(limits.line) + " bytes, longer than any line of " +
                           limits.what;
                    ok = false;
                }
            }
        }
        if (ok) text->append(buffer, n);
    }
    std::fclose(f);
    if (!ok) text->clear();
    return ok;
}
