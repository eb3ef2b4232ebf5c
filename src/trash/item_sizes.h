// The space trash items take, for the settings tool's list and preview: read from the trash
// folder's "directorysizes" cache where its line is current, else counted by a walk that never
// follows a link and never enters another file system. Reads only; changes nothing. Memory is
// bounded by the number of items measured, never by the size of the cache.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fs/directory_listing.h"
#include "fs/file_identity.h"

namespace quillon {

class ItemSizes {
 public:
    // The trash folder whose "files" folder is the open `files` (reached as
    // trash_locations.h reaches it); its own descriptor, so `files` may go first. A folder
    // not open has no items.
    explicit ItemSizes(const PinnedFolder &files);
    ~ItemSizes();
    ItemSizes(const ItemSizes &) = delete;
    ItemSizes &operator=(const ItemSizes &) = delete;

    // Reads the directorysizes lines of `names` (and of no other name) in one pass over the
    // file, noting progress as it goes (blocking_work.h), for bytes() to use; replaces what an
    // earlier call read. Without it, bytes() counts every folder by its walk.
    void willMeasure(const std::vector<std::string> &names);
    // Whether the item `name` is in the files folder now.
    bool present(const std::string &name) const;
    // Bytes of the item's regular files and links (a link counts as itself); nullopt when it
    // is missing or cannot be read whole (a folder that cannot be opened, too deep a tree).
    std::optional<uint64_t> bytes(const std::string &name) const;

 private:
    int files_ = -1, info_ = -1;
    FileIdentity trash_;  // the files folder: what lies on another mount is not the trash's
    // directorysizes lines of the names to measure: percent-decoded name -> (bytes,
    // modification time of its info file).
    std::map<std::string, std::pair<uint64_t, int64_t>> cached_;
};

}  // namespace quillon
