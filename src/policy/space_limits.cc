#include "policy/space_limits.h"

#include <algorithm>
#include <chrono>

namespace quillon {

namespace {

// `percent` of `bytes`, without overflow for any volume.
uint64_t share(uint64_t bytes, int percent) {
    const uint64_t p = static_cast<uint64_t>(std::clamp(percent, 0, 100));
    return bytes / 100 * p + bytes % 100 * p / 100;
}

}  // namespace

LimitChoice chooseForLimits(std::vector<SizedItem> items, const VolumeSpace &volume, const SpaceLimits &limits,
                            const CalendarDate &now) {
    LimitChoice choice;
    uint64_t held = 0, need = 0;
    for (const SizedItem &item : items) held += item.size;
    if (const uint64_t cap = share(volume.size, limits.trashLimit); limits.trashLimit > 0 && held > cap) {
        need = held - cap;
        choice.reasons |= kOverLimit;
    }
    if (const uint64_t keep = share(volume.size, limits.keepFree); limits.keepFree > 0 && volume.free < keep) {
        need = std::max(need, keep - volume.free);
        choice.reasons |= kTooLittleFree;
    }
    if (need == 0) return choice;

    // Clamped to what a date can move by; the sort only when something must go.
    const int64_t age = std::clamp<int64_t>(limits.minimumAge, 0, CalendarDate::kLimitSeconds);
    const CalendarDate youngest = now.dateByAddingInterval(-std::chrono::seconds(age));
    std::stable_sort(items.begin(), items.end(), [](const SizedItem &a, const SizedItem &b) { return a.date < b.date; });
    uint64_t freed = 0, kept = 0;
    for (const SizedItem &item : items) {
        if (item.kept) continue;
        if (item.date > youngest) kept += item.size;
        else if (freed < need) {
            choice.names.push_back(*item.name);
            freed += item.size;
        }
    }
    if (freed < need) choice.unfreed = std::min(need - freed, kept);
    return choice;
}

}  // namespace quillon
