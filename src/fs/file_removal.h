// Plain removal of a file, link or directory tree that never follows a symbolic link.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// Removes `path` and, for a directory, everything below it. A link is removed, never
// followed; the walk works relative to open directories, so it holds one descriptor at a time
// and reaches trees deeper than PATH_MAX. Goes on past failures and removes what it can.
// True when nothing is left at `path`, also when nothing was there; else false with errno the
// first failure's. `freed`, when given, gets the bytes of the regular files and links that were
// removed (what the item's size counts), also when something stays.
bool removeTree(const std::string &path, uint64_t *freed = nullptr);

}  // namespace quillon
