// The space limits' choice, a pure function: which items of one trash folder go so that it
// holds no more than its share of its volume and the volume keeps its free share.
#pragma once

#include <vector>

#include "base/calendar_date.h"
#include "trash/trash_folder.h"

namespace quillon {

// The oldest items of `items` (by first-seen date; list order among equal dates) whose sizes
// together make up what the folder holds beyond `limits.trashLimit` percent of `volume.size`,
// or what `volume.free` lacks of `limits.keepFree` percent of it, whichever is more, and no
// more items than that. Never an item first seen less than `limits.minimumAge` seconds before
// `now`: what they would have freed is `unfreed`. Never a kept item. Nothing when the limits
// are off or met.
LimitChoice chooseForLimits(std::vector<SizedItem> items, const VolumeSpace &volume, const SpaceLimits &limits,
                            const CalendarDate &now);

}  // namespace quillon
