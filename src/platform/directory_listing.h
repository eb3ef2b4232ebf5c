// Folders held open while the trash is scanned and purged.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace quillon {

// Which time of a file a stamp holds: the file's birth, where the file system keeps one, else
// its last change of status (ctime); none when the file could not be looked at.
enum class StampKind : uint8_t { none, birth, change };

// A folder opened once, without following a link in its place, so that a link swapped in for
// it (or for one of its parents) while we work cannot redirect what we list or remove.
class PinnedFolder {
 public:
    explicit PinnedFolder(const std::string &path);
    ~PinnedFolder();
    PinnedFolder(const PinnedFolder &) = delete;
    PinnedFolder &operator=(const PinnedFolder &) = delete;

    // False when the folder is missing, not a directory, unreadable, or itself a link.
    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string &path() const { return path_; }

    // A plain value: the name and scalars.
    struct Entry {
        std::string name;
        ino_t inode;  // as the directory lists it
        StampKind stampKind = StampKind::none;
        int64_t stamp = 0;  // that time, in nanoseconds since the epoch
    };
    // The entries directly in the folder, in the order the directory yields them, without
    // "." and "..", each stamped by one statx of its own (not following a link, nor
    // triggering an automount). Empty when the folder is not open.
    std::vector<Entry> entries() const;
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

// A name that stands for exactly one entry of the folder it is joined to: not empty, not "."
// or "..", no "/".
bool isPlainName(const std::string &name);

// Calls `entry` for every entry of the open folder `fd` but "." and "..", in the order the
// directory yields them. `fd` itself is left open and unmoved. False when it cannot be read.
bool forEachEntry(int fd, const std::function<void(const struct dirent &)> &entry);

// The top level of `folder`, as PinnedFolder::list gives it.
std::vector<std::string> listFolder(const std::string &folder);

}  // namespace quillon
