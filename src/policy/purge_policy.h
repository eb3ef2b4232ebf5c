// The purge decisions, as pure functions of the settings and the time: when an item goes,
// and whether a cycle may purge at all. The server, the preview and the settings tool all ask
// here, so they can never disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/calendar_date.h"

namespace quillon {

// The cut-off date for a cycle at `now`: `units` + 1 hours, days, weeks or months before it
// as `period` is 0, 1, 2 or 3. Nullopt for settings that name no period (a unit index outside
// 0 to 3, a negative count index): such a cycle must purge nothing.
std::optional<CalendarDate> cutoffDate(const CalendarDate &now, int period, int units);

// The first moment at which an item first seen at `firstSeen` is due: the first moment whose
// cutoffDate lies after it (about one period later; earlier at a month's end, when the
// cut-off of a day that the month before lacks falls at that month's end). Nullopt for the
// same settings as above.
std::optional<CalendarDate> dueDate(const CalendarDate &firstSeen, int period, int units);

// What a cycle at `now` may do with the settings as read. `secure` is nullopt when the
// settings could not say whether to overwrite: deleting plainly could go against that wish.
// When the period is not named or the secure wish is unknown the cycle still scans (so
// first-seen dates are kept) but purges nothing: its cut-off lies before every date.
struct PurgeDecision {
    CalendarDate cutoff;  // items first seen strictly before it go
    bool secure = false;
    bool periodNamed = true;
    bool secureKnown = true;
    bool purges() const { return periodNamed && secureKnown; }
};
PurgeDecision purgeDecision(const CalendarDate &now, int period, int units, std::optional<bool> secure);

// The warning before a large purge. `due` are the items due within the next day, each with
// its bytes (0 where not known); `warned` the items earlier warnings covered. A warning is
// due when the items no warning covered yet come to more than `warnItems` items or more than
// `warnBytes` bytes (0 turns that measure off; both 0, warnings). It tells of all of `due`,
// which it then covers; else what stays covered is what of `warned` is still due (items that
// went or were kept warn again when they come back). So one batch warns once, and items that
// trickle in warn only once they make a batch of their own.
using ItemKey = std::pair<std::string, std::string>;  // trash folder, item name
struct DueItem {
    ItemKey key;
    uint64_t bytes = 0;
};
struct PurgeWarning {
    bool warns = false;
    size_t items = 0;    // of `due`, when it warns
    uint64_t bytes = 0;
    std::set<ItemKey> warned;  // covered from now on
};
PurgeWarning purgeWarning(const std::vector<DueItem> &due, const std::set<ItemKey> &warned, uint64_t warnItems,
                          uint64_t warnBytes);

}  // namespace quillon
