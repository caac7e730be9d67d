#pragma once
// Downloads that an archive could not take (exit 7), kept so that no
// download is lost whatever outputs were asked for: the block as received,
// the tester's identity reply and the time of the download, one file each
// in the user's state folder ($XDG_STATE_HOME/lumkest/pending/, else
// ~/.local/state/lumkest/pending/), private to the user and written whole
// or not at all.  import --pending archives them.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct PendingDownload {
    std::string file;                    // where it is kept
    std::vector<std::uint8_t> identity;  // the 33-byte identity reply
    std::vector<std::uint8_t> block;     // the 8194-byte block
    std::time_t downloaded = 0;
};

// The folder the kept downloads are in, with a trailing '/'; empty when
// no home folder is known.
std::string pendingFolder();

// Keeps a download in a file of its own in pendingFolder() (made private
// to the user where missing); its name in *file, or false with *why.
bool keepPending(const PendingDownload& d, std::string* file, std::string* why);

// A kept download's bytes, checked as any input: false with *why for bytes
// that are none (another file, a block that decodes into no records, an
// identity reply that names no serial number).
bool readPending(const std::string& bytes, PendingDownload* d, std::string* why);

// The files of pendingFolder() that hold kept downloads, oldest first; none
// when it does not exist.  False with *why when it cannot be read.
bool pendingFiles(std::vector<std::string>* files, std::string* why);

// Removes a kept download once the archive holds it; false with *why.
bool dropPending(const std::string& file, std::string* why);
