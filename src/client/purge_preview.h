// What the server remembers and what its next cycle deletes, read from the trash list file and
// the trash without changing either: the ground of quillon-settings' list and preview and of
// the settings panel's preview.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/calendar_date.h"
#include "client/server_client.h"
#include "trash/trash.h"
#include "trash/trash_bookkeeping.h"

namespace quillon {

// The trash list file's folders; empty when there is no file yet. Nullopt, with why in
// `error`, when it is damaged or cannot be read.
std::optional<FolderList> rememberedFolders(std::string *error);

// What a trash folder holds of an item now.
struct ItemFacts {
    bool present = false;
    std::optional<uint64_t> bytes;  // nullopt: not known (see ItemSizes)
    std::optional<TrashInfo> info;  // nullopt: no info file that could be read
};
// The facts of the items `names` of the trash folder `files`, reached as the server reaches
// it (trash/trash_locations.h): the home trash on a thread of its own, another volume's in
// a child that can be abandoned (fs/child_work.h), so the caller always ends. Nullopt
// when its volume stops answering (a stalled network or FUSE mount), after the patience of
// runPatiently, or at once while an earlier look there is still blocked. A folder that is no
// trash of the user's now holds none of its items. With `space`, also its volume's size and
// free space (fstatvfs on the folder's descriptor), left nullopt when they cannot be read.
std::optional<std::map<std::string, ItemFacts>> lookAtItems(const std::string &files,
                                                            const std::vector<std::string> &names,
                                                            std::optional<VolumeSpace> *space = nullptr);
// What to say of a folder whose volume does not answer, translated.
std::string notAnsweringText();
// What heads a preview without the server's next cycle: that the server is busy (`state`
// kBusy) or not running, and that a cycle now is shown instead; translated.
std::string previewWithoutCycleText(ServerState state);

struct PreviewItem {
    std::string name;
    std::optional<uint64_t> bytes;  // nullopt: not known (see ItemSizes)
    std::optional<TrashInfo> info;  // nullopt: no info file that could be read
    unsigned limit = 0;             // LimitReason bits: it goes for the space limits, not its age
};
struct PreviewFolder {
    std::string folder;
    std::vector<PreviewItem> items;
    uint64_t bytes = 0;        // of the items whose size is known
    bool someUnknown = false;  // some item's size is not known: at least `bytes`
    bool notAnswering = false; // its volume did not answer: what is due there is not known
};

// The items a cycle at `cycle` deletes under the settings `period` and `units`: those
// remembered since strictly before its cut-off and still in the trash (items it meets first
// are never due). Folders without such items are left out; none for settings that name no
// period. A folder whose volume does not answer is in the list, marked, without items.
// With `limits` on, then the items the space limits take after those (policy/space_limits.h),
// weighed by the sizes the records keep, else measured now, against the volume's space now
// and what the due items free.
std::vector<PreviewFolder> previewCycle(const FolderList &folders, const CalendarDate &cycle, int period, int units,
                                        const SpaceLimits &limits = {});
// "3 items, 4.5 MiB freed" (or "at least" that), translated.
std::string freedText(const PreviewFolder &folder);

}  // namespace quillon
