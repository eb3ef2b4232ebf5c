// The records a FreeDesktop.org trash keeps beside its files folder (info/NAME.trashinfo and
// the directorysizes cache), and their clean-up when items have gone from it.
//
// Everything is reached from the open files folder's own descriptor: its parent, info/ and
// each record are opened or removed relative to it, never through a link, and whatever is
// read must be a regular file of a sane size. Anything else in their place is left alone,
// with one log line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "fs/directory_listing.h"

namespace quillon {

// Logs that `shown` could not be removed: "could not delete: %s" or "could not securely
// delete: %s", and the cause `error` after it on the same line, where a search for the fixed
// text finds it and lines of other threads cannot part it from its path. The cause's text.
std::string logRemovalFailure(const std::string &shown, bool securely, int error);

class TrashBookkeeping {
 public:
    // The bookkeeping of the trash that holds `files` (its ".trash/files" folder). A folder not
    // named "files" has none, and every call below succeeds at once.
    explicit TrashBookkeeping(const PinnedFolder &files);
    ~TrashBookkeeping();
    TrashBookkeeping(const TrashBookkeeping &) = delete;
    TrashBookkeeping &operator=(const TrashBookkeeping &) = delete;

    // Call after the item `name` is wholly gone from the files folder: removes its info file,
    // through secure deletion when `securely` (it holds the item's original path), and notes
    // its directorysizes line for finish(). False (logged: "could not delete: %s" or "could
    // not securely delete: %s" with the info file's path, the cause after it in parentheses)
    // when the info file stays.
    bool forget(const std::string &name, bool securely);
    // Rewrites directorysizes once, without the lines of the items forgotten since the
    // bookkeeping was made, streaming it through a temporary file in memory bounded whatever
    // its size; a file with none of their lines is only read. A crash before it leaves the
    // old file, whose extra lines readers ignore; the rewrite itself is atomic.
    void finish();

    // Info files whose item is not in the files folder, by item name: what a purge that was
    // killed half-way leaves.
    std::set<std::string> orphans() const;
    // Removes the info files of `names`, the orphans of an earlier cycle, that are still
    // orphans now and are at least kOrphanAge old by their own modification time, looked at
    // just before the removal against the environment's now (a time in the future is young).
    // A trashing program writes the info file just before it moves the item in, so an info
    // file alone for a whole cycle is stale -- unless the item comes from another volume: it
    // is then copied in under another name and renamed at the end, and the info file, written
    // first, stays alone for as long as the copy takes.
    void removeOrphans(const std::set<std::string> &names, bool securely);
    // A copy of a big folder from a slow volume (USB 2, Wi-Fi: some 10 MB/s) moves tens of
    // gigabytes in an hour; an orphan kept an hour longer costs only its few bytes.
    static constexpr double kOrphanAge = 3600;  // seconds

 private:
    std::string infoPathFor(const std::string &name) const;
    bool removeInfo(const std::string &name, bool securely);

    const PinnedFolder &files_;
    std::string trashPath_;  // for messages
    int trashFd_ = -1;
    int infoFd_ = -1;
    std::set<std::string, std::less<>> forgotten_;
};

// The directorysizes cache holds one line per trashed folder, "BYTES MTIME NAME" (NAME
// percent-encoded, MTIME that of the item's info file when it was counted), so it grows with
// the trash: it is streamed (forEachLine of atomic_file.h), never held whole, and readers keep
// only the lines of the names they ask about.
//
// A file larger than this is not read: sizes are then counted afresh and a rewrite leaves the
// file as it is, which costs time, never a line of an item that stays. A real trash's file is
// far smaller (64 MiB hold some 5 million lines); the bound stops a file that grows as it is
// read from keeping its reader busy for ever.
inline constexpr size_t kLargestDirectorySizes = size_t{1} << 30;

// The directorysizes of the trash folder `trashFd`, opened for reading as a regular file
// reached without following a link; -1 with errno as openForReadingAt sets it.
int openDirectorySizes(int trashFd);
// The NAME field of a directorysizes line, percent-decoded (into `scratch` when it holds an
// escape, so that no line costs an allocation); empty when the line has no such field.
std::string_view directorySizesName(std::string_view line, std::string &scratch);

// What an item's info file (info/NAME.trashinfo) says of it, as written there but for the
// percent-decoding of Path: empty where the file has no such key in its "[Trash Info]" group.
struct TrashInfo {
    std::string path;          // absolute, or relative to the volume's top for a volume's trash
    std::string deletionDate;  // "YYYY-MM-DDThh:mm:ss" in the local time of the trashing program
};
// An info file is a few lines: one larger than this is no info file of a trashing program.
inline constexpr size_t kLargestTrashInfo = size_t{64} << 10;
// The info folder of the trash that holds the open files folder `filesFd`, reached from it
// ("../info") without following a link; -1 with errno when there is none. Quiet: fit for the
// child of child_work.h.
int openTrashInfoFolder(int filesFd);
// The info file of the item `name` in the open info folder `infoFd`, read as a regular file
// of at most kLargestTrashInfo bytes, never through a link and without blocking; nullopt when
// there is none that can be read. Quiet, like openTrashInfoFolder.
std::optional<TrashInfo> readTrashInfo(int infoFd, const std::string &name);
// The place an item came from: `info.path` made absolute, a relative one against the top of
// the volume whose trash is the files folder `files` (".Trash/UID/files", ".Trash-UID/files");
// empty when the path is empty, or relative in a trash that has no such top.
std::string originalLocation(const std::string &files, const TrashInfo &info);
// The moment `info.deletionDate` names, read as local time, in seconds since the epoch;
// nullopt when it is absent or not of that form.
std::optional<int64_t> deletionTime(const TrashInfo &info);

// The percent-decoded form of a directorysizes name field; the input unchanged where it holds
// no valid escape.
std::string percentDecode(const std::string &text);

}  // namespace quillon
