#pragma once
// Reading the help folder: help.ini (a first line that is ignored, then one
// topic file name per line) and the topic files, whose first line is the
// topic's title.  Plain C++, so that tests read folders of their own; the
// help viewer only shows what these functions return.
//
// Lines end with LF or CR LF; the line end is not part of the text.  A line
// is read in pieces, as a fixed line buffer reads it: a piece holds at most
// `limit` characters, line end included, and the rest of a longer line
// becomes the next piece.  So a topic line of exactly 1022 characters is
// followed by an empty piece, and one of 1023 continues on the next.  The
// cut falls between characters of the line's encoding: a line that is
// UTF-8 as a whole is cut before a UTF-8 sequence, its piece then a little
// shorter; any other line (Latin-1) between any two bytes.

#include <cstddef>
#include <string>
#include <vector>

constexpr std::size_t kHelpListPiece = 510;    // help.ini lines and titles
constexpr std::size_t kHelpTopicPiece = 1022;  // lines of a topic's text

struct HelpIndex {
    std::vector<std::string> topicFiles;  // the names in help.ini, in file order
    std::vector<std::string> titles;      // one per topic file read, in order
    bool complete = true;                 // false: reading stopped at a failure
};

// The help folder "help" inside programFolder, with a trailing '/'.
std::string helpFolderIn(const std::string& programFolder);

// A file of the help folder: the folder, a '/' if it has none, the name.
std::string helpFilePath(const std::string& folder, const std::string& name);

// Reads help.ini and the first line of every topic file it lists.  Stops at
// the first file that cannot be opened or read (complete is then false); the
// titles read before it stay.  An empty line of help.ini is an entry with an
// empty name, which cannot be opened.  A topic file without any line has
// its file name as its title.
HelpIndex readHelpIndex(const std::string& folder);

// Reads the whole topic file `name` into *lines, one piece per entry.
// Returns false when it cannot be opened or a read fails; *lines then holds
// what was read before the failure.
bool readHelpTopic(const std::string& folder, const std::string& name,
                   std::vector<std::string>* lines);
