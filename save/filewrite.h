#pragma once
// Putting a saved file on disk: the one way every saved file reaches it,
// for a text held whole or one made a piece at a time.  Plain C++.
//
// Where it changes nothing but the content, a file is written whole or not
// at all: the text goes into a temporary file beside the chosen one (private
// to the user until it is complete), which replaces it only when everything
// was written and flushed to disk, and the folder is then synced, so a failed
// save leaves the old file as it was and a saved one stays saved.  Elsewhere
// (a folder the user may not write, a file of another owner or with several
// names) the file is written in place through the existing file, cut to its
// new length only after the new content has its room: a full disk leaves the
// old file as it was, but an I/O error in the middle can leave it part new.
// A file the user may not write is refused; symbolic links are written
// through, except one that the kernel's protected_symlinks rule would refuse
// to follow.

#include <functional>
#include <string>

// How a save went.
enum class SaveResult {
    Done,
    Nothing,  // empty file name: nothing done
    Failed,
};

// What a save may write to: regular files only, or with StreamsToo also a
// name that is no regular file (a pipe, /dev/stdout, /dev/null), written
// plainly.
enum class SaveTargets { FilesOnly, StreamsToo };

// Writes contents to fileName.  Done written, Nothing for an empty name
// (nothing touched), Failed; reason then says why (the system's own words).
// A failure leaves the old file as it was, except an I/O error in the middle
// of a file written in place.  With SaveTargets::StreamsToo, a name that is
// no regular file is written plainly; otherwise it is refused.  opened, when
// given, tells whether a file (the temporary one or the file itself) was
// opened for writing.
SaveResult saveWholeFile(const std::string& fileName, const std::string& contents,
                         std::string* reason = nullptr,
                         SaveTargets targets = SaveTargets::FilesOnly, bool* opened = nullptr);

// Writes a file whose content is made a piece at a time: produce(put) calls
// put(piece) for each piece in order and returns false when it cannot make
// the content (put returns false once writing has failed; produce should then
// stop).  produce is called once at most (not for an empty name).  The same
// results and guarantees as saveWholeFile: a regular file is replaced whole
// or not at all through a temporary file beside it (the pieces go straight
// into it, never all held in memory), pipes and devices are written plainly
// with SaveTargets::StreamsToo; only a file that must be written in place
// (another owner's, several names, a folder this user may not write) is
// first made whole in memory, since its room is reserved before its old
// content is cut.  When produce returns false with no write failed, the save
// fails with the reason "the file could not be made" and the old file stays
// as it was (what already went down a pipe stays gone).  Short pieces are
// gathered into writes of 64 KiB.
using PieceWriter = std::function<bool(const std::string& piece)>;
using PieceProducer = std::function<bool(const PieceWriter& put)>;
SaveResult saveStreamedFile(const std::string& fileName, const PieceProducer& produce,
                            std::string* reason = nullptr,
                            SaveTargets targets = SaveTargets::FilesOnly);

// The file a save to fileName writes: the symbolic links at its end followed
// and its folder's path resolved, so that two names of one file compare
// equal; as far as it can be worked out.
std::string savedFileOf(const std::string& fileName);

// The call that flushes a file or folder to disk (fsync); tests replace it to
// see what is synced.  Returns the previous one; nullptr restores fsync.
using SyncCall = int (*)(int fd);
SyncCall setSyncCall(SyncCall call);
