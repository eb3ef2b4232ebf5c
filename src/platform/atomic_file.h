// Whole-file reads and atomic replacement of files that hold the user's data.
#pragma once

#include <optional>
#include <string>

namespace quillon {

// Writes `data` to a new temporary file beside `path` (mode 0600), flushes it to the disk and
// renames it over `path`, so that readers see the old file or the whole new one, never a mix.
// The folder must exist: it is never created. On failure nothing at `path` changes, the
// temporary file is removed, errno tells why, and the result is false.
bool writeFileAtomically(const std::string &path, const std::string &data);

// Removes the temporary files that writeFileAtomically(path, ...) leaves behind when the
// process is killed mid-write. Only for files that one process alone writes.
void removeStaleTemporaries(const std::string &path);

// The whole contents of the file at `path`, or nullopt (with errno) when it cannot be read.
std::optional<std::string> readWholeFile(const std::string &path);

// Makes `folder` and any missing parents, each new one private to the user (mode 0700).
// True when the folder exists afterwards; failures are logged.
bool ensureFolder(const std::string &folder);

// What stands at `path`, following links as a reader of the file would.
enum class PathKind { kMissing, kDirectory, kOther };
PathKind examinePath(const std::string &path);

}  // namespace quillon
