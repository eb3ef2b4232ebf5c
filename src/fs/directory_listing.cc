#include "fs/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>

#include "fs/blocking_work.h"
#include "fs/child_work.h"

namespace quillon {

PinnedFolder::PinnedFolder(const std::string &path)
    : path_(path), fd_(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)) {
    struct stat st;
    viaProc_ = fd_ >= 0 && stat(("/proc/self/fd/" + std::to_string(fd_)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PinnedFolder::PinnedFolder(std::string path, int fd) : path_(std::move(path)), fd_(fd) {
    struct stat st;
    viaProc_ = fd_ >= 0 && stat(("/proc/self/fd/" + std::to_string(fd_)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

PinnedFolder::~PinnedFolder() {
    if (fd_ >= 0) close(fd_);
}

bool forEachEntry(int fd, const std::function<void(const DirectoryEntry &)> &entry, bool throughFd) {
    const int listing = throughFd ? fd : openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) return false;
    // getdents64 itself: readdir would cost an fstat and an fcntl more per folder.
    alignas(8) char buffer[32 * 1024];
    ssize_t got;
    while ((got = syscall(SYS_getdents64, listing, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < got;) {
            const auto *found = reinterpret_cast<const struct dirent64 *>(buffer + at);
            at += found->d_reclen;
            noteProgress();
            const char *name = found->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            entry({name, static_cast<ino_t>(found->d_ino)});
        }
    }
    const int why = errno;
    if (!throughFd) close(listing);
    errno = why;
    return got == 0;
}

std::vector<PinnedFolder::Entry> PinnedFolder::entries(bool stamped) const {
    std::vector<Entry> found;
    if (fd_ < 0) return found;
    forEachEntry(fd_, [&](const DirectoryEntry &entry) {
        Entry &added = found.emplace_back(Entry{entry.name, entry.inode});
        if (!stamped) return;
        struct statx sx;
        if (statx(fd_, entry.name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_BTIME | STATX_CTIME, &sx) != 0) return;
        const auto nanoseconds = [](const struct statx_timestamp &t) {
            // Within the 292 years around 1970 that 64 bits of nanoseconds hold.
            const int64_t seconds = std::clamp<int64_t>(t.tv_sec, -9'000'000'000, 9'000'000'000);
            return seconds * 1'000'000'000 + static_cast<int64_t>(t.tv_nsec);
        };
        if (sx.stx_mask & STATX_BTIME) {
            added.stampKind = StampKind::birth;
            added.stamp = nanoseconds(sx.stx_btime);
        } else if (sx.stx_mask & STATX_CTIME) {
            added.stampKind = StampKind::change;
            added.stamp = nanoseconds(sx.stx_ctime);
        }
    });
    return found;
}

FolderListing scanFolder(const PinnedFolder &folder, int64_t settled, int64_t now) {
    FolderListing listing;
    struct statx sx;
    // Read after `now`: a change since bears a later time, and never counts as settled.
    const bool known = folder.isOpen() && statx(folder.fd(), "", AT_EMPTY_PATH, STATX_CTIME, &sx) == 0 &&
                       (sx.stx_mask & STATX_CTIME);
    const int64_t changed = known ? sx.stx_ctime.tv_sec * 1'000'000'000 + sx.stx_ctime.tv_nsec : 0;
    listing.entries = folder.entries(!(known && settled != 0 && changed == settled));
    listing.identity = folder.identity();
    if (known && changed != 0 && changed < now - kSettleNanoseconds) listing.settled = changed;
    return listing;
}

std::string PinnedFolder::identity() const {
    struct statfs fs;
    struct statx sx;
    if (fd_ < 0 || fstatfs(fd_, &fs) != 0 || statx(fd_, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &sx) != 0) return "";
    unsigned fsid[2];
    static_assert(sizeof fsid == sizeof fs.f_fsid);
    memcpy(fsid, &fs.f_fsid, sizeof fsid);
    char text[96];
    if (sx.stx_mask & STATX_BTIME)
        snprintf(text, sizeof text, "%08x%08x:%" PRIu64 ":%" PRId64 ".%09u", fsid[0], fsid[1],
                 static_cast<uint64_t>(sx.stx_ino), static_cast<int64_t>(sx.stx_btime.tv_sec), sx.stx_btime.tv_nsec);
    else
        snprintf(text, sizeof text, "%08x%08x:%" PRIu64, fsid[0], fsid[1], static_cast<uint64_t>(sx.stx_ino));
    return text;
}

std::vector<std::string> PinnedFolder::list() const {
    std::vector<std::string> names;
    if (fd_ >= 0) forEachEntry(fd_, [&](const DirectoryEntry &entry) { names.emplace_back(entry.name); });
    return names;
}

std::string PinnedFolder::pathFor(const std::string &name) const {
    if (viaProc_) return "/proc/self/fd/" + std::to_string(fd_) + "/" + name;
    std::string full = path_;
    if (full.empty() || full.back() != '/') full += '/';
    return full + name;
}

std::string encodeListing(const FolderListing &listing) {
    std::string out;
    AnswerWriter write{out};
    write(listing.identity);
    write(listing.settled);
    write(static_cast<uint64_t>(listing.entries.size()));
    for (const PinnedFolder::Entry &entry : listing.entries) forEachField(entry, write);
    return out;
}

std::optional<FolderListing> decodeListing(std::string_view bytes) {
    FolderListing listing;
    AnswerReader read{bytes};
    read(listing.identity);
    read(listing.settled);
    uint64_t count = 0;
    read(count);
    while (read.ok && count-- > 0) forEachField(listing.entries.emplace_back(), read);
    if (!read.done()) return std::nullopt;
    return listing;
}

std::vector<std::string> listFolder(const std::string &folder) { return PinnedFolder(folder).list(); }

bool isPlainName(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace quillon
