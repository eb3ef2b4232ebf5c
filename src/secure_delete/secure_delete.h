// Secure deletion of one file or directory tree.
//
// The only header of the secure deletion engine that the rest of the system includes.
#pragma once

namespace quillon {

// Removes `path` (a file, a link, or a whole directory tree) so that the data of every
// regular file is overwritten before it is unlinked: every pass is flushed to the disk, the
// file is truncated, moved to a random name and only then removed. Links are removed, never
// followed. `level` selects the scheme: 0 one random pass, 1 seven passes, anything else 35.
//
// Returns 1 when everything under `path` is gone (a path that does not exist counts), 0 when
// anything failed: every failure is written to standard error, and whatever could not be
// removed (or not overwritten) is left in place. The caller's string is not changed.
// Not reentrant: the engine has process-wide state, one call at a time per process.
int secure_delete(const char *path, int level);

}  // namespace quillon
