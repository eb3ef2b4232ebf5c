// Folders held open while the trash is scanned and purged.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Which time of a file a stamp holds: the file's birth, where the file system keeps one, else
// its last change of status (ctime); none when the file could not be looked at.
enum class StampKind : uint8_t { none, birth, change };

// A folder opened once, without following a link in its place, so that a link swapped in for
// it (or for one of its parents) while we work cannot redirect what we list or remove.
class PinnedFolder {
 public:
    // Opens `path` itself: O_NOFOLLOW guards its last step only, so only for a path no one
    // else controls (tests, a folder the user named).
    explicit PinnedFolder(const std::string &path);
    // Takes `fd`, a folder already reached and checked step by step (trash_locations.h), shown
    // as `path` in messages; owns it from now on.
    PinnedFolder(std::string path, int fd);
    ~PinnedFolder();
    PinnedFolder(const PinnedFolder &) = delete;
    PinnedFolder &operator=(const PinnedFolder &) = delete;

    // False when the folder is missing, not a directory, unreadable, or itself a link.
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string &path() const { return path_; }

    // A plain struct: its fields travel between processes through encodeListing, which names
    // each once (forEachField below).
    struct Entry {
        std::string name;
        ino_t inode;  // as the directory lists it
        StampKind stampKind = StampKind::none;
        int64_t stamp = 0;  // that time, in nanoseconds since the epoch
    };
    // The entries directly in the folder, in the order the directory yields them, without
    // "." and "..", each stamped by one statx of its own (not following a link, nor
    // triggering an automount) when `stamped`. Empty when the folder is not open.
    std::vector<Entry> entries(bool stamped = true) const;
    // Their names alone.
    std::vector<std::string> list() const;
    // What tells this folder apart from another one later found at the same path: the file
    // system's id, the folder's inode and, where the file system keeps it, its birth time.
    // Empty when the folder is not open.
    std::string identity() const;
    // A path to `name` inside the very folder that was opened (through /proc/self/fd); the
    // plain path where /proc is not mounted.
    std::string pathFor(const std::string &name) const;

 private:
    std::string path_;
    int fd_ = -1;
    bool viaProc_ = false;
};

// What one scan of a folder found: its entries and its identity then (PinnedFolder::identity).
struct FolderListing {
    std::vector<PinnedFolder::Entry> entries;
    std::string identity;
    // The folder's change time (ns) when it had settled before the scan began, else 0: what
    // the next scan may be handed (scanFolder).
    int64_t settled = 0;
};
// How long a folder must have lain unchanged before a scan for that scan to vouch for the
// next: a change after the scan then always bears a later change time, even where a file
// system keeps times to 2 s (FAT) or the two readings straddle a tick of the kernel's clock.
inline constexpr int64_t kSettleNanoseconds = 10'000'000'000;
// The listing of the open `folder`, made at `now` (wall clock, ns since 1970, read before the
// call). Its entries are stamped (one statx each) unless `settled` is the folder's change
// time now: then no entry has been added, removed or renamed since the scan that found it
// settled, so each name is still the very file that scan stamped, and its entries carry no
// stamp (a record's own stamp then stands).
FolderListing scanFolder(const PinnedFolder &folder, int64_t settled, int64_t now);
// Every field of an entry in the order it travels; encodeListing and decodeListing both go
// through it, so a field added to Entry is one line here.
template <typename E, typename F>
void forEachField(E &entry, F &&field) {
    field(entry.name);
    field(entry.inode);
    field(entry.stampKind);
    field(entry.stamp);
}
// A listing as bytes for another process of ours, and back; nullopt when `bytes` is not one.
std::string encodeListing(const FolderListing &listing);
std::optional<FolderListing> decodeListing(std::string_view bytes);

// A name that stands for exactly one entry of the folder it is joined to: not empty, not "."
// or "..", no "/".
bool isPlainName(const std::string &name);

// One entry as the directory yields it.
struct DirectoryEntry {
    const char *name;
    ino_t inode;
};
// Calls `entry` for every entry of the open folder `fd` but "." and "..", in the order the
// directory yields them, noting progress (blocking_work.h) as it reads. Reads through a
// description of its own, so `fd` is left open and unmoved (another thread may list it too);
// with `throughFd`, through `fd` itself, which the caller opened for this one listing. False
// with errno when the folder cannot be read to its end.
bool forEachEntry(int fd, const std::function<void(const DirectoryEntry &)> &entry, bool throughFd = false);

// The top level of `folder`, as PinnedFolder::list gives it.
std::vector<std::string> listFolder(const std::string &folder);

}  // namespace quillon
