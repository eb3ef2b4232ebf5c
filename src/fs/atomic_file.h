// Whole-file reads and atomic replacement of files that hold the user's data, safe against
// whatever another program put in their place.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Writes `data` to a new temporary file beside `path` (mode 0600), flushes it to the disk and
// renames it over `path`, so that readers see the old file or the whole new one, never a mix.
// The temporary's name is `path` + ".quillon-tmp-" + six letters or digits. The folder must
// exist: it is never created. On failure nothing at `path` changes, the temporary file is
// removed, errno tells why, and the result is false.
bool writeFileAtomically(const std::string &path, const std::string &data);
// The same for the entry `name` of the open folder `dirfd`.
bool writeFileAtomicallyAt(int dirfd, const std::string &name, const std::string &data);
// The same with the contents written to the temporary's descriptor by `write`, for data too
// large to be worth holding whole; `write` returns false, errno telling why, to fail it all.
bool writeFileAtomically(const std::string &path, const std::function<bool(int fd)> &write);
bool writeFileAtomicallyAt(int dirfd, const std::string &name, const std::function<bool(int fd)> &write);

// Writes all `size` bytes at `data` to `fd`, going on after short writes and EINTR; false
// with errno when a write fails.
bool writeAll(int fd, const char *data, size_t size);

// Removes the temporary files that writeFileAtomically(path, ...) leaves behind when the
// process is killed mid-write: only names that carry the temporaries' mark. Only for files
// that one process alone writes, and only once it is sure no other writer runs.
void removeStaleTemporaries(const std::string &path);

// Files larger than this are not read whole: no file of ours grows near it.
inline constexpr size_t kLargestFileRead = size_t{1} << 30;

// The whole contents of the regular file at `path` (a link to one is followed), or nullopt
// with errno when it cannot be read: ENOENT when nothing is there, EINVAL when it is not a
// regular file (a FIFO, a device, a directory), EFBIG when it holds more than `largest`
// bytes. Never blocks on a FIFO or device.
std::optional<std::string> readWholeFile(const std::string &path, size_t largest = kLargestFileRead);
// The same for the entry `name` of the open folder `dirfd`, never following a link there
// (ELOOP).
std::optional<std::string> readWholeFileAt(int dirfd, const std::string &name, size_t largest);
// The file readWholeFile(path, largest) would read, opened (close-on-exec) for a reader that
// takes it piece by piece: its descriptor, or -1 with errno as readWholeFile sets it.
int openForReading(const std::string &path, size_t largest = kLargestFileRead);
// The same for the entry `name` of the open folder `dirfd`, never following a link there
// (ELOOP), opened without blocking on a FIFO or device.
int openForReadingAt(int dirfd, const std::string &name, size_t largest);
// Reads the open file `fd` from its start through a fixed buffer (64 KiB), whatever its size,
// and calls `piece` with each line without its newline, the last one also when no newline
// ends it: a line that fits the buffer in one call with `ends` true, a longer one in several
// calls, all but its last with `ends` false. Notes progress (blocking_work.h) at every read,
// so a long read on an answering disk is not taken for a stall. False, with errno, when a
// read fails, when the file holds more than `largest` bytes (EFBIG: it grew while read), or
// when `piece` returns false (errno as it left it).
bool forEachLine(int fd, size_t largest, const std::function<bool(std::string_view piece, bool ends)> &piece);
// The contents of the open file `fd` from its start, whatever its offset (reserving
// `expected` bytes), or nullopt with errno: EFBIG beyond `largest` bytes.
std::optional<std::string> readFromStart(int fd, size_t largest, size_t expected = 0);

// Why a read failed, for a log line: "not a regular file" (EINVAL), "too large to be one of
// ours" (EFBIG), or the system's text for `error`.
std::string readErrorText(int error);

// Makes `folder` and any missing parents, each new one private to the user (mode 0700).
// True when the folder exists afterwards; failures are logged.
bool ensureFolder(const std::string &folder);

// What stands at `path`, following links as a reader of the file would.
enum class PathKind { kMissing, kDirectory, kOther };
PathKind examinePath(const std::string &path);

}  // namespace quillon
