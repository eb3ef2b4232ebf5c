// The volumes that hold a trash folder of the user's, with what each holds and the user's
// choice for it: the ground of quillon-settings' volumes and of the panel's volume switches.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quillon {

struct TrashVolume {
    std::string files;       // the trash folder; empty when its volume did not answer
    std::string mountPoint;  // where its volume is mounted
    std::string id;          // its volume's identity (trash/trash_locations.h, volumeId)
    bool answered = true;    // false: nothing below is known
    size_t items = 0;
    uint64_t bytes = 0;        // of the items whose size is known
    bool someUnknown = false;  // some item's size is not known: at least `bytes`
    uint64_t freeBytes = 0;    // free on the volume for the user (fstatvfs on the folder)
    bool purged = true;        // the user's choice: purge by the rules, or leave alone
};

// The home trash, then each mount's trash in table order, each folder once; `leftAlone` as
// PreferencesSnapshot holds it. Looked at as the server looks (trash/trash.h): the home trash
// on a patient thread, the other volumes in children that can be abandoned, all at once, so
// a volume that does not answer is listed as such (with its mount point) and never waited for.
std::vector<TrashVolume> trashVolumes(const std::set<std::string> &leftAlone);

// The volume of `volumes` that holds `path` (a mount point or any path on it, links
// followed); nullopt when `path` cannot be looked at or lies on none of them.
std::optional<TrashVolume> volumeHolding(const std::vector<TrashVolume> &volumes, const std::string &path);

}  // namespace quillon
