// Linux stand-ins for what the engine's removal asks of the file system: inode flags, the
// locality of a file system, and a race-free open of the file that was examined.
// Internal to the engine.
#pragma once

#include <sys/stat.h>
#include <sys/vfs.h>

namespace quillon::engine {

// Opens `path` write-only for overwriting, without following a link and without blocking on
// a FIFO. Fails with -1 / ESTALE when what is there now is not the regular file `examined`
// describes (it was swapped between lstat and open).
int open_examined_file(const char *path, const struct stat &examined);

// True when the immutable or append-only inode flag is set on `fd`. A file system that keeps
// no such flags reports none.
bool has_protective_flags(int fd);

// True unless `fs` (from fstatfs of `fd`) is a network file system. FUSE mounts are told
// apart by their type in the mount table: "fuseblk" is a local block device, other FUSE
// types (sshfs and the like) are remote.
bool is_local_filesystem(int fd, const struct statfs &fs);

}  // namespace quillon::engine
