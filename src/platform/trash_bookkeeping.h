// The records a FreeDesktop.org trash keeps beside its files folder (info/NAME.trashinfo and
// the directorysizes cache), and their clean-up when items have gone from it.
//
// Everything is reached from the open files folder's own descriptor: its parent, info/ and
// each record are opened or removed relative to it, never through a link, and whatever is
// read must be a regular file of a sane size. Anything else in their place is left alone,
// with one log line.
#pragma once

#include <set>
#include <string>

#include "platform/directory_listing.h"

namespace quillon {

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
    // not securely delete: %s" with the info file's path) when the info file stays.
    bool forget(const std::string &name, bool securely);
    // Rewrites directorysizes once, without the lines of the items forgotten since the
    // bookkeeping was made. A crash before it leaves the old file, whose extra lines readers
    // ignore; the rewrite itself is atomic.
    void finish();

    // Info files whose item is not in the files folder, by item name: what a purge that was
    // killed half-way leaves.
    std::set<std::string> orphans() const;
    // Removes the info files of `names`, the orphans of an earlier cycle, that are still
    // orphans now. A trashing program writes the info file just before it moves the item in,
    // so an info file alone for a whole cycle is stale.
    void removeOrphans(const std::set<std::string> &names, bool securely);

 private:
    std::string infoPathFor(const std::string &name) const;
    bool removeInfo(const std::string &name, bool securely);

    const PinnedFolder &files_;
    std::string trashPath_;  // for messages
    int trashFd_ = -1;
    int infoFd_ = -1;
    std::set<std::string> forgotten_;
};

// The percent-decoded form of a directorysizes name field; the input unchanged where it holds
// no valid escape.
std::string percentDecode(const std::string &text);

}  // namespace quillon
