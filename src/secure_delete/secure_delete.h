// Secure deletion of one file or directory tree.
//
// The only header of the secure deletion engine that the rest of the system includes.
#pragma once

#include <atomic>
#include <cstdint>

namespace quillon {

// Removes `path` (a file, a link, or a whole directory tree) so that the data of every
// regular file is overwritten before it is unlinked: every pass is flushed to the disk, the
// file is truncated, moved to a random name and only then removed. Links are removed, never
// followed. `level` selects the scheme: 0 one random pass, 1 seven passes, anything else 35.
//
// The path's last component is never followed; the folders before it are the caller's to
// trust. The walk stays on the file system of the folder that holds `path`: anything below
// it on another device or mount is left alone and reported. Only the data a file holds is
// overwritten, never its holes; a file that grows or is written to while it is overwritten
// stays, and the call fails.
//
// Returns 1 when everything under `path` is gone (a path that does not exist counts), 0 when
// anything is left, with errno the first failure's: every failure is written to standard
// error, and whatever could not be removed (or not overwritten) is left in place under its
// own name. The caller's string is
// not changed. One call at a time per thread; calls on different threads are independent.
int secure_delete(const char *path, int level);

// Counts the calling thread's engine work (blocks written, entries listed) in `counter` from
// now on; null stops counting. A watcher on another thread can so tell a long deletion that
// goes on from one blocked on a file system that stopped answering.
void secure_delete_count_progress(std::atomic<uint64_t> *counter);

}  // namespace quillon
