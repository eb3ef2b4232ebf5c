#include "policy/purge_policy.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

namespace quillon {

namespace {

// `now` moved by `count` periods of the unit `period`; the count is clamped to what the
// calendar arithmetic takes, far beyond any date a CalendarDate can hold.
CalendarDate movedByPeriods(const CalendarDate &now, int period, int64_t count) {
    const auto steps = [&](int64_t factor) {
        return static_cast<int>(std::clamp<int64_t>(count * factor, INT32_MIN, INT32_MAX));
    };
    switch (period) {
        case 0: return now.dateByAdding(0, 0, 0, steps(1), 0, 0);
        case 1: return now.dateByAdding(0, 0, steps(1), 0, 0, 0);
        case 2: return now.dateByAdding(0, 0, steps(7), 0, 0, 0);
        default: return now.dateByAdding(0, steps(1), 0, 0, 0, 0);
    }
}

bool namesAPeriod(int period, int units) { return period >= 0 && period <= 3 && units >= 0; }

}  // namespace

std::optional<CalendarDate> cutoffDate(const CalendarDate &now, int period, int units) {
    if (!namesAPeriod(period, units)) return std::nullopt;
    return movedByPeriods(now, period, -(static_cast<int64_t>(units) + 1));
}

std::optional<CalendarDate> dueDate(const CalendarDate &firstSeen, int period, int units) {
    if (!namesAPeriod(period, units)) return std::nullopt;
    // The first moment whose cut-off lies after the first-seen date: found with the cycle's
    // own computation, not by adding the period, which differs at month ends and around a
    // change of summer time. The cut-off never moves back as time goes on, so the moments
    // before it all keep the item and those from it all purge it: a search by halves finds it.
    const auto cutoffPasses = [&](const CalendarDate &moment) { return firstSeen < *cutoffDate(moment, period, units); };
    using std::chrono::nanoseconds;
    CalendarDate low = firstSeen;  // keeps the item
    // A period later, and a week for what a month's end or a change of summer time can add.
    const CalendarDate far = movedByPeriods(firstSeen, period, static_cast<int64_t>(units) + 1).dateByAdding(0, 0, 7, 0, 0, 0);
    CalendarDate high = far;
    if (!cutoffPasses(high)) return high;  // a period beyond what a date can hold
    while (high.timePoint() - low.timePoint() > nanoseconds(1)) {
        const CalendarDate middle(low.timePoint() + (high.timePoint() - low.timePoint()) / 2);
        (cutoffPasses(middle) ? high : low) = middle;
    }
    return high;
}

PurgeDecision purgeDecision(const CalendarDate &now, int period, int units, std::optional<bool> secure) {
    PurgeDecision decision{CalendarDate::fromUnixTime(-CalendarDate::kLimitSeconds)};  // nothing lies before it
    const auto cutoff = cutoffDate(now, period, units);
    decision.periodNamed = cutoff.has_value();
    decision.secureKnown = secure.has_value();
    decision.secure = secure.value_or(false);
    if (decision.purges()) decision.cutoff = *cutoff;
    return decision;
}

PurgeWarning purgeWarning(const std::vector<DueItem> &due, const std::set<ItemKey> &warned, uint64_t warnItems,
                          uint64_t warnBytes) {
    PurgeWarning out;
    size_t newItems = 0;
    uint64_t newBytes = 0, bytes = 0;
    for (const DueItem &item : due) {
        bytes += item.bytes;
        if (warned.count(item.key)) {
            out.warned.insert(item.key);
        } else {
            newItems++;
            newBytes += item.bytes;
        }
    }
    out.warns = (warnItems > 0 && newItems > warnItems) || (warnBytes > 0 && newBytes > warnBytes);
    if (!out.warns) return out;
    out.items = due.size();
    out.bytes = bytes;
    for (const DueItem &item : due) out.warned.insert(item.key);
    return out;
}

}  // namespace quillon

