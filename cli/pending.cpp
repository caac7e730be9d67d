#include "cli/pending.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/debuglog.h"
#include "device/decode.h"
#include "records/recordstore.h"
#include "save/filewrite.h"

namespace {

// A kept download's file: this line, the time in seconds since 1970 UTC
// on a line of its own, then the identity reply and the block as they came.
const std::string kHeading = "LUM Kest pending download 1\n";
const std::string kTimeLabel = "downloaded ";
const char* const kSuffix = ".download";

bool endsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

std::string pendingFolder() {
    const std::string state = userStateFolder();
    return state.empty() ? state : state + "pending/";
}

bool keepPending(const PendingDownload& d, std::string* file, std::string* why) {
    const std::string folder = pendingFolder();
    if (folder.empty()) {
        *why = "no home folder is known to keep it in";
        return false;
    }
    if (!makePrivateFolders(folder)) {
        *why = "cannot make the folder \"" + folder + "\": " + std::strerror(errno);
        return false;
    }
    // Named by the download's time (UTC) and this process, so that the
    // names sort as the downloads were made and never meet.
    char stamp[32];
    std::tm utc{};
    gmtime_r(&d.downloaded, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = folder + stamp + "-" + std::to_string(::getpid());
    *file = base + kSuffix;
    struct stat st;
    for (int n = 2; ::lstat(file->c_str(), &st) == 0; ++n)
        *file = base + "-" + std::to_string(n) + kSuffix;
    const std::string contents = kHeading + kTimeLabel + std::to_string(d.downloaded) + "\n" +
                                 std::string(d.identity.begin(), d.identity.end()) +
                                 std::string(d.block.begin(), d.block.end());
    // Private to the user, whatever the umask says: the careful saver gives
    // a new file the mode a plain open would, which this mask makes 0600.
    // The command-line program runs no other thread meanwhile.
    const mode_t mask = ::umask(077);
    std::string reason;
    const bool saved = saveWholeFile(*file, contents, &reason) == SaveResult::Done;
    ::umask(mask);
    if (!saved) *why = "cannot write \"" + *file + "\": " + reason;
    return saved;
}

bool readPending(const std::string& bytes, PendingDownload* d, std::string* why) {
    const std::size_t tail = kIdentityReplySize + kDataBlockSize;
    const std::size_t timeAt = kHeading.size() + kTimeLabel.size();
    const std::size_t lineEnd = bytes.find('\n', kHeading.size());
    const std::string digits = lineEnd == std::string::npos || lineEnd < timeAt
                                   ? ""
                                   : bytes.substr(timeAt, lineEnd - timeAt);
    if (bytes.compare(0, kHeading.size(), kHeading) != 0 ||
        bytes.compare(kHeading.size(), kTimeLabel.size(), kTimeLabel) != 0 || digits.empty() ||
        digits.size() > 12 || digits[0] == '0' ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        bytes.size() != lineEnd + 1 + tail) {
        *why = "it is no download that lumkest-cli kept";
        return false;
    }
    d->downloaded = static_cast<std::time_t>(std::stoll(digits));
    const auto* at = reinterpret_cast<const std::uint8_t*>(bytes.data()) + lineEnd + 1;
    d->identity.assign(at, at + kIdentityReplySize);
    d->block.assign(at + kIdentityReplySize, at + tail);
    TesterIdentity tester;
    std::vector<TestRecord> records;
    std::size_t capacity = 0;
    std::string wrong;
    if (!parseIdentityReply(d->identity.data(), d->identity.size(), &tester, &wrong) ||
        tester.serial.empty()) {
        *why = "its identity reply is none that names a tester" +
               (wrong.empty() ? std::string() : ": " + wrong);
        return false;
    }
    if (!decodeRecords(d->block.data(), &records, &capacity, &wrong)) {
        *why = "its block holds no records: " + wrong;
        return false;
    }
    return true;
}

bool pendingFiles(std::vector<std::string>* files, std::string* why) {
    files->clear();
    const std::string folder = pendingFolder();
    DIR* dir = folder.empty() ? nullptr : ::opendir(folder.c_str());
    if (!dir) {
        if (folder.empty() || errno == ENOENT) return true;
        *why = "cannot read the folder \"" + folder + "\": " + std::strerror(errno);
        return false;
    }
    // The careful saver's unfinished temporary files start with a dot.
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name[0] != '.' && endsWith(name, kSuffix)) files->push_back(folder + name);
    }
    ::closedir(dir);
    std::sort(files->begin(), files->end());
    return true;
}

bool dropPending(const std::string& file, std::string* why) {
    // Gone already: another import --pending took it meanwhile.
    if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
        *why = "cannot remove \"" + file + "\": " + std::strerror(errno);
        return false;
    }
    // The removal on disk too, so that a power cut cannot bring it back.
    const int fd = ::open(pendingFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}
