#include "help/helpfiles.h"

#include <cstdio>
#include <memory>
#include <new>

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Reads a file in pieces of at most `limit` characters, a line end counting
// as one character whether it is LF or CR LF, and removes the line end.
class PieceReader {
public:
    explicit PieceReader(std::FILE* f) : f_(f) {}

    // The next piece; false at the end of the file or when a read failed.
    bool next(std::size_t limit, std::string* piece) {
        piece->clear();
        std::size_t taken = 0;
        while (taken < limit) {
            int c = get();
            if (c == EOF) break;
            ++taken;
            if (c == '\n') return true;
            piece->push_back(static_cast<char>(c));
        }
        if (std::ferror(f_)) {
            failed_ = true;
            return false;
        }
        return taken > 0;
    }

    bool failed() const { return failed_; }

private:
    int get() {
        int c = std::getc(f_);
        if (c != '\r') return c;
        int d = std::getc(f_);
        if (d == '\n') return '\n';
        if (d != EOF) std::ungetc(d, f_);
        return c;
    }

    std::FILE* f_;
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
