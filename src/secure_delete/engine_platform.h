// Linux stand-ins for what the engine's removal asks of the file system beyond fs/ (entries
// examined, opened and walked: fs/safe_walk.h): checked opens for writing, inode flags, data
// extents, the locality of a file system and its flushes. Internal to the engine.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <sys/vfs.h>

#include <cstdint>
#include <vector>

#include "fs/file_identity.h"
#include "secure_delete/engine.h"

namespace quillon::engine {

using quillon::FileIdentity;

// True when the directory `name` of `dirfd`, still the one `examined` describes, holds nothing.
bool directory_is_empty(int dirfd, const char *name, const FileIdentity &examined);

// Opens `name` of `dirfd` write-only for overwriting, without following a link and without
// blocking on a FIFO. -1 / ESTALE when what is there now is not the regular file `examined`
// describes (it was swapped since it was examined).
int open_examined_file(int dirfd, const char *name, const FileIdentity &examined);

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
