#include "save/filewrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// As careful savers do: a file is replaced whole (a temporary file beside
// it, written, flushed to disk and renamed over it) only where that changes
// nothing but the content: the folder is writable and the old file, if any,
// is a regular file of this user's, writable, with one name, whose mode and
// group the new file can keep.  Anywhere else the file is written in place
// through the existing file, as a plain open does, so that its owner, group,
// other names and folder stay as they were.  A file this user may not write
// is refused and left alone.  A symbolic link is written through; one that
// another user planted in a shared sticky folder (such as /tmp) is refused,
// as the kernel's protected_symlinks rule refuses to follow it.

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// How a save went; errno-style code, 0 when it worked.
struct Outcome {
    int error = 0;
    bool opened = false;         // a file was opened for writing (old content may be gone)
    const char* what = nullptr;  // a reason that is no errno
};

// Follows the symbolic links at the end of path, as opening it would, to the
// file that is really written.  Fails with EACCES for a link that the
// protected_symlinks rule forbids following: in a sticky folder that anyone
// may write, a link owned neither by this user nor by the folder's owner.
bool followLinks(std::string* path, int* error) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat link;
        if (::lstat(path->c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return true;
        const std::string folder = folderOf(*path);
        struct stat dir;
        if (::stat(folder.c_str(), &dir) != 0) {
            *error = errno;
            return false;
        }
        const bool shared = (dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH);
        if (shared && link.st_uid != ::geteuid() && link.st_uid != dir.st_uid) {
            *error = EACCES;
            return false;
        }
        const auto room = static_cast<std::size_t>(link.st_size > 0 ? link.st_size : 255);
        std::vector<char> target(room + 1);
        const ssize_t n = ::readlink(path->c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
            *error = n < 0 ? errno : n == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        std::string next(target.data(), static_cast<std::size_t>(n));
        *path = next[0] == '/' ? next : folder + "/" + next;
    }
    *error = ELOOP;
    return false;
}

bool writeAll(int fd, const std::string& content) {
    const char* p = content.data();
    std::size_t left = content.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// The reason a save gives when its content could not be made.
constexpr const char* kUnmade = "the file could not be made";

// What a save writes: either written through a file as it goes, or, for a
// file written in place, made whole in memory first.  Each save uses it once.
class Content {
public:
    virtual ~Content() = default;
    // Writes all of it to fd; false, with errno set, when a write failed or
    // the content could not be made (unmade() then tells).
    virtual bool writeTo(int fd) = 0;
    // All of it, nullptr when it could not be made.
    virtual const std::string* whole() = 0;
    bool unmade() const { return unmade_; }

protected:
    bool unmade_ = false;
};

// A text already held whole.
class WholeContent : public Content {
public:
    explicit WholeContent(const std::string& text) : text_(text) {}
    bool writeTo(int fd) override { return writeAll(fd, text_); }
    const std::string* whole() override { return &text_; }

private:
    const std::string& text_;
};

// A content made a piece at a time.  Pieces are gathered into writes of
// 64 KiB, so that a producer putting one short line at a time does not cost
// a system call per line; a piece larger than that goes down as it is.
class StreamedContent : public Content {
public:
    explicit StreamedContent(const PieceProducer& produce) : produce_(produce) {}

    bool writeTo(int fd) override {
        std::string buffer;
        int error = 0;  // the first failed write's errno; nothing is written after it
        auto flush = [&] {
            if (error == 0 && !buffer.empty() && !writeAll(fd, buffer)) error = errno;
            buffer.clear();
            return error == 0;
        };
        const bool made = make([&](const std::string& piece) {
            if (error != 0) return false;
            if (buffer.size() + piece.size() <= kChunk) {
                buffer += piece;
                return buffer.size() < kChunk || flush();
            }
            if (!flush()) return false;
            if (piece.size() >= kChunk) {
                if (!writeAll(fd, piece)) error = errno;
                return error == 0;
            }
            buffer = piece;
            return true;
        });
        if (made) flush();
        return finish(made, error);
    }

    const std::string* whole() override {
        text_.clear();
        const bool made = make([&](const std::string& piece) {
            text_ += piece;
            return true;
        });
        if (made) return &text_;
        unmade_ = true;
        text_.clear();
        return nullptr;
    }

private:
    static constexpr std::size_t kChunk = 64 * 1024;

    // Runs the producer; an exception from it (or from putting its pieces)
    // counts as a content that could not be made.
    bool make(const PieceWriter& put) {
        try {
            return produce_(put);
        } catch (...) {
            return false;
        }
    }

    // A write error is reported as the system's; otherwise a producer that
    // gave up means a content that could not be made.
    bool finish(bool made, int error) {
        if (error != 0) {
            errno = error;
            return false;
        }
        if (made) return true;
        unmade_ = true;
        errno = ECANCELED;
        return false;
    }

    const PieceProducer& produce_;
    std::string text_;
};

// The file system's call that puts a file's (or folder's) data on disk;
// tests replace it to see what is synced and when.
int (*syncCall)(int fd) = &::fsync;

bool pwriteAll(int fd, const char* p, std::size_t left, off_t at) {
    while (left > 0) {
        const ssize_t n = ::pwrite(fd, p, left, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        p += n;
        at += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Makes room for length bytes in fd, whose old content is oldLength bytes
// long, without touching the old bytes: the file system reserves the blocks,
// or, where it cannot, the part of the new content beyond the old length is
// written first.  On failure the file is cut back to its old length.
bool reserveRoom(int fd, const std::string& content, off_t oldLength) {
    const off_t length = static_cast<off_t>(content.size());
    if (length <= oldLength) return true;
    int rc;
    do rc = ::fallocate(fd, 0, 0, length);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    bool ok = false;
    if (errno == EOPNOTSUPP || errno == ENOSYS)
        ok = pwriteAll(fd, content.data() + oldLength,
                       content.size() - static_cast<std::size_t>(oldLength), oldLength);
    if (ok) return true;
    const int err = errno;
    struct stat now;
    if (::fstat(fd, &now) == 0 && now.st_size != oldLength) (void)::ftruncate(fd, oldLength);
    errno = err;
    return false;
}

// Opens path with flags (creating it 0666 less the umask where they say so)
// and runs write(fd) on it: the outcome of the open, the writing and the close.
template <class Write>
Outcome writeThrough(const std::string& path, int flags, Write&& write) {
    Outcome out;
    const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        out.error = errno;
        return out;
    }
    out.opened = true;
    bool ok = write(fd);
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    out.error = ok ? 0 : err;
    return out;
}

// Writes through the file itself, creating it if it is not there.  The old
// content is cut only once the new content has its room, so a full disk
// leaves the old file as it was; an I/O error in the middle of the writing
// can still leave it part old, part new.
// A content made a piece at a time is made whole first, before the file is
// opened: its room must be reserved before the old content is cut, and a
// content that cannot be made then leaves the file untouched.
Outcome writeInPlace(const std::string& path, Content& made) {
    const std::string* text = made.whole();
    if (!text) {
        Outcome out;
        out.what = kUnmade;
        return out;
    }
    const std::string& content = *text;
    return writeThrough(path, O_CREAT, [&](int fd) {
        struct stat old;
        return ::fstat(fd, &old) == 0 && reserveRoom(fd, content, old.st_size) &&
               pwriteAll(fd, content.data(), content.size(), 0) &&
               ::ftruncate(fd, static_cast<off_t>(content.size())) == 0 && syncCall(fd) == 0;
    });
}

// The mode a plain open gives a new file: 0666 less the umask.  Read from
// /proc, since changing the umask to learn it would race with other threads.
mode_t newFileMode() {
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char text[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(text, sizeof text, f))
            found = std::sscanf(text, "Umask: %o", &mask) == 1;
        std::fclose(f);
        if (found) return 0666 & ~static_cast<mode_t>(mask);
    }
    return 0644;
}

// Puts a folder's entries on disk, so that a rename in it survives a power
// cut.  A folder that cannot be opened for it (no read right) is left: the
// content itself is on disk already.
bool syncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return true;
    const bool ok = syncCall(fd) == 0 || errno == EINVAL;  // some file systems cannot
    ::close(fd);
    return ok;
}

// Makes a temporary file with a short name in folder, so that even a name
// of the longest length can be replaced.  -1 if it cannot.
int createTemporary(const std::string& folder, std::string* temp) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[48];
        std::snprintf(name, sizeof name, "/.lumkest-%x-%x", static_cast<unsigned>(::getpid()),
                      counter++);
        *temp = folder + name;
        // Private until it is complete: nobody else can open the new content
        // while it is written (replaceWhole gives the final mode after).
        const int fd = ::open(temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Replaces path whole through a temporary file.  *fallBack is set, with
// nothing changed, when the folder refuses the temporary file or the new
// file could not keep the old one's group.
Outcome replaceWhole(const std::string& path, Content& content, const struct stat* old,
                     bool* fallBack) {
    Outcome out;
    *fallBack = false;
    std::string temp;
    const int fd = createTemporary(folderOf(path), &temp);
    if (fd < 0) {
        // A folder that refuses new names after all (an access list, an
        // attribute) may still let the file itself be written.
        out.error = errno;
        *fallBack = out.error == EACCES || out.error == EPERM;
        return out;
    }
    out.opened = true;
    bool ok = true;
    if (old) {
        struct stat made;
        if (::fstat(fd, &made) != 0 || (made.st_gid != old->st_gid &&
                                        ::fchown(fd, static_cast<uid_t>(-1), old->st_gid) != 0)) {
            *fallBack = true;
            ::close(fd);
            ::unlink(temp.c_str());
            out.opened = false;
            return out;
        }
    }
    // The content goes in while the file is still private (0600, as it was
    // made); it takes its final mode only when complete, before the flush
    // that puts both on disk and the rename that shows it.
    ok = content.writeTo(fd) && ::fchmod(fd, old ? old->st_mode & 07777 : newFileMode()) == 0 &&
         syncCall(fd) == 0;
    int err = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) ::unlink(temp.c_str());
    // The new name must reach the disk too, or a power cut could bring the
    // old file back after the save was reported.
    if (ok && !syncFolder(folderOf(path))) err = errno;
    out.error = err;
    return out;
}

// Writes to something that is no file (a pipe, a terminal, /dev/null) as a
// plain open writes to it: there is nothing to replace and nothing to sync.
Outcome writeStream(const std::string& name, Content& content) {
    return writeThrough(name, O_NOCTTY, [&](int fd) { return content.writeTo(fd); });
}

Outcome putOnDisk(const std::string& fileName, Content& content, SaveTargets targets) {
    Outcome out;
    struct stat target;
    if (targets == SaveTargets::StreamsToo && ::stat(fileName.c_str(), &target) == 0 &&
        !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode))
        return writeStream(fileName, content);
    std::string path = fileName;
    if (!followLinks(&path, &out.error)) return out;
    struct stat old;
    const bool exists = ::lstat(path.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) {
        out.error = errno;
        return out;
    }
    if (exists && !S_ISREG(old.st_mode)) {
        out.what = "not a regular file";
        return out;
    }
    if (exists && ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        out.error = errno;  // refused: the file stays as it is
        return out;
    }
    const bool folderWritable =
        ::faccessat(AT_FDCWD, folderOf(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    const bool replaceable =
        folderWritable && (!exists || (old.st_uid == ::geteuid() && old.st_nlink == 1));
    if (replaceable) {
        bool fallBack = false;
        out = replaceWhole(path, content, exists ? &old : nullptr, &fallBack);
        if (!fallBack) return out;
    }
    return writeInPlace(path, content);
}

// Writes contents to fileName; *opened tells whether a file was opened for
// writing at all.
SaveResult saveContent(const std::string& fileName, Content& contents, std::string* reason,
                       bool* opened, SaveTargets targets) {
    if (reason) reason->clear();
    *opened = false;
    if (fileName.empty()) return SaveResult::Nothing;
    Outcome out;
    try {
        out = putOnDisk(fileName, contents, targets);
    } catch (...) {
        out.error = ENOMEM;
    }
    if (contents.unmade()) out.what = kUnmade;
    *opened = out.opened;
    if (out.error == 0 && !out.what) return SaveResult::Done;
    if (reason) *reason = out.what ? out.what : std::strerror(out.error);
    return SaveResult::Failed;
}

}  // namespace

SaveResult saveWholeFile(const std::string& fileName, const std::string& contents,
                         std::string* reason, SaveTargets targets, bool* opened) {
    bool openedHere = false;
    WholeContent whole(contents);
    return saveContent(fileName, whole, reason, opened ? opened : &openedHere, targets);
}

SaveResult saveStreamedFile(const std::string& fileName, const PieceProducer& produce,
                            std::string* reason, SaveTargets targets) {
    bool opened = false;
    StreamedContent streamed(produce);
    return saveContent(fileName, streamed, reason, &opened, targets);
}

std::string savedFileOf(const std::string& fileName) {
    std::string path = fileName;
    int error = 0;
    if (!followLinks(&path, &error)) path = fileName;
    char* folder = ::realpath(folderOf(path).c_str(), nullptr);
    if (!folder) return path;
    const std::size_t slash = path.rfind('/');
    const std::string resolved =
        std::string(folder) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
    std::free(folder);
    return resolved;
}

SyncCall setSyncCall(SyncCall call) {
    const SyncCall previous = syncCall;
    syncCall = call ? call : &::fsync;
    return previous;
}
