// Linux stand-ins for what the engine's removal asks of the file system: entries examined and
// opened relative to their directory's descriptor without following links, inode flags, data
// extents, the locality of a file system and its flushes. Internal to the engine.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "secure_delete/engine.h"

namespace quillon::engine {

// What the walk needs to know of one entry, as lstat would see it.
struct entry_stat {
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    nlink_t links = 0;
    uint64_t mount = 0;      // the kernel's id of the mount that holds the entry
    bool has_mount = false;  // false on kernels that do not report it
};

// Examines `name` in `dirfd` without following a link or triggering an automount. False with
// errno when it cannot be examined (ENOENT: it is not there).
bool stat_entry(int dirfd, const char *name, entry_stat &st);

// Opens the directory `name` of `dirfd` for listing, without following a link; -1 / ESTALE
// when what is there now is not the directory `examined` describes.
int open_examined_directory(int dirfd, const char *name, const entry_stat &examined);

// Opens the parent of the open directory `fd` through ".."; -1 / ESTALE unless it is the
// directory (`device`, `inode`) that the walk came down from.
int open_parent(int fd, dev_t device, ino_t inode);

// Calls `entry` with the name of every entry of the open directory `fd` but "." and "..".
// False when the directory cannot be read.
bool for_each_name(int fd, const std::function<void(const char *)> &entry);

// True when the directory `name` of `dirfd`, still the one `examined` describes, holds nothing.
bool directory_is_empty(int dirfd, const char *name, const entry_stat &examined);

// Opens `name` of `dirfd` write-only for overwriting, without following a link and without
// blocking on a FIFO. -1 / ESTALE when what is there now is not the regular file `examined`
// describes (it was swapped since it was examined).
int open_examined_file(int dirfd, const char *name, const entry_stat &examined);

// chmod of the entry itself, never of what a link in its place points to, and only of a
// regular file with no other hard link (EPERM otherwise).
int change_mode_at(int dirfd, const char *name, mode_t mode);

// The ranges of [0, length) of `fd` that hold data, in order, without its holes. A file
// system that cannot tell gives the whole range. False with errno on a failed look-up.
bool data_extents(int fd, off_t length, std::vector<extent> &extents);

// True when the immutable or append-only inode flag is set on `fd`. A file system that keeps
// no such flags reports none.
bool has_protective_flags(int fd);

// True unless `fs` (from fstatfs of `fd`) is a network file system. FUSE mounts are told
// apart by their type in the mount table: "fuseblk" is a local block device, other FUSE
// types (sshfs and the like) are remote.
bool is_local_filesystem(int fd, const struct statfs &fs);

// Flushes the file system that holds the open `fd` to its disk. Only that one: a flush of
// every file system would wait for as long as any network volume is stalled.
void flush_file_system(int fd);
// flush_file_system for a rename in the directory `dirfd`.
void flush_directory(int dirfd);

}  // namespace quillon::engine
