#include "help/helpfiles.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// True when text is well-formed UTF-8 (shortest forms, no surrogates, at
// most U+10FFFF), the test by which the viewer decides how to show a line.
bool isUtf8(const std::string& text) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t more;
        unsigned lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
        if (c < 0x80) more = 0;
        else if (c >= 0xC2 && c <= 0xDF) more = 1;
        else if (c == 0xE0) more = 2, lo = 0xA0;
        else if (c == 0xED) more = 2, hi = 0x9F;
        else if (c >= 0xE1 && c <= 0xEF) more = 2;
        else if (c == 0xF0) more = 3, lo = 0x90;
        else if (c == 0xF4) more = 3, hi = 0x8F;
        else if (c >= 0xF1 && c <= 0xF3) more = 3;
        else return false;
        if (n - i - 1 < more) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            const unsigned char d = static_cast<unsigned char>(text[i + k]);
            if (d < (k == 1 ? lo : 0x80) || d > (k == 1 ? hi : 0xBF)) return false;
        }
        i += more + 1;
    }
    return true;
}

// Reads a file in pieces of at most `limit` bytes, a line end counting as
// one byte whether it is LF or CR LF, and removes the line end.  A line too
// long for one piece is cut between characters: between UTF-8 sequences
// when the whole line is UTF-8, anywhere in an 8-bit line.
class PieceReader {
public:
    explicit PieceReader(std::FILE* f) : f_(f) {}

    // The next piece; false at the end of the file or when a read failed.
    bool next(std::size_t limit, std::string* piece) {
        piece->clear();
        if (!pending_ && !readLine()) return false;
        const std::size_t left = line_.size() - at_;
        if (left >= limit) {
            // No room for the line end: a full piece, backed off to the
            // start of a character.  (A line that stops at the end of the
            // file without a line end may fill its last piece.)
            std::size_t cut = limit;
            if (utf8_ && cut < left) {
                std::size_t back = cut;
                while (back > 0 && (static_cast<unsigned char>(line_[at_ + back]) & 0xC0) == 0x80)
                    --back;
                if (back > 0) cut = back;
            }
            piece->assign(line_, at_, cut);
            at_ += cut;
            if (at_ == line_.size() && !ended_) pending_ = false;
            return true;
        }
        // The rest of the line and its line end; an empty piece when the
        // line end alone is left.
        piece->assign(line_, at_, left);
        pending_ = false;
        return true;
    }

    bool failed() const { return failed_; }

private:
    // Reads the next whole line; false at the end of the file or on error.
    bool readLine() {
        line_.clear();
        at_ = 0;
        ended_ = false;
        for (;;) {
            int c = get();
            if (c == EOF) break;
            if (c == '\n') {
                ended_ = true;
                break;
            }
            line_.push_back(static_cast<char>(c));
        }
        if (std::ferror(f_)) {
            failed_ = true;
            return false;
        }
        if (!ended_ && line_.empty()) return false;
        utf8_ = isUtf8(line_);
        pending_ = true;
        return true;
    }

    int get() {
        int c = std::getc(f_);
        if (c != '\r') return c;
        int d = std::getc(f_);
        if (d == '\n') return '\n';
        if (d != EOF) std::ungetc(d, f_);
        return c;
    }

    std::FILE* f_;
    std::string line_;     // the current line, without its line end
    std::size_t at_ = 0;   // where its next piece starts
    bool ended_ = false;   // it has a line end (not the end of the file)
    bool utf8_ = false;
    bool pending_ = false; // pieces of it are still to come
    bool failed_ = false;
};

File openRead(const std::string& path) { return File(std::fopen(path.c_str(), "rb")); }

// The title of a topic file: its first piece.  False when the file cannot be
// opened or read (a folder opens but cannot be read).
bool readTitle(const std::string& path, const std::string& name, std::string* title) {
    File f = openRead(path);
    if (!f) return false;
    PieceReader reader(f.get());
    if (reader.next(kHelpListPiece, title)) return true;
    if (reader.failed()) return false;
    *title = name;  // no line at all: the list still shows the topic
    return true;
}

}  // namespace

std::string helpFolderIn(const std::string& programFolder) {
    return helpFilePath(programFolder, "help/");
}

std::string helpFilePath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + '/' + name;
}

HelpIndex readHelpIndex(const std::string& folder) {
    HelpIndex index;
    try {
        File list = openRead(helpFilePath(folder, "help.ini"));
        if (!list) {
            index.complete = false;
            return index;
        }
        PieceReader reader(list.get());
        std::string piece;
        bool firstLine = true;
        while (reader.next(kHelpListPiece, &piece)) {
            if (!firstLine) index.topicFiles.push_back(piece);
            firstLine = false;
        }
        if (reader.failed()) {
            index.complete = false;
            return index;
        }
        list.reset();
        for (const std::string& name : index.topicFiles) {
            std::string title;
            if (!readTitle(helpFilePath(folder, name), name, &title)) {
                index.complete = false;
                break;
            }
            index.titles.push_back(title);
        }
    } catch (const std::bad_alloc&) {
        index.complete = false;
    }
    return index;
}

bool readHelpTopic(const std::string& folder, const std::string& name,
                   std::vector<std::string>* lines) {
    lines->clear();
    File f = openRead(helpFilePath(folder, name));
    if (!f) return false;
    PieceReader reader(f.get());
    std::string piece;
    while (reader.next(kHelpTopicPiece, &piece)) lines->push_back(piece);
    return !reader.failed();
}
