#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policy/space_limits.h"

namespace quillon {
namespace {

// Five items of a folder on a 1000-byte volume, in list order, first seen `age` seconds ago.
TEST(SpaceLimits, OldestFirstUntilWithinAndNeverYoungerThanTheMinimumAge) {
    const CalendarDate now = CalendarDate::fromUnixTime(1'800'000'000);
    const std::string names[] = {"d", "b", "a", "c", "e"};
    const int64_t ages[] = {100, 300, 400, 200, 300};
    const uint64_t sizes[] = {100, 100, 100, 100, 50};
    const struct { const char *name; int limit, keepFree; int64_t minimumAge; uint64_t free; std::vector<std::string> gone;
                   unsigned reasons; uint64_t unfreed; } cases[] = {
        {"off", 0, 0, 0, 0, {}, 0, 0},
        {"at the limit", 45, 0, 0, 900, {}, 0, 0},
        {"over it", 30, 0, 0, 900, {"a", "b"}, kOverLimit, 0},
        {"equal dates in list order", 20, 0, 0, 900, {"a", "b", "e"}, kOverLimit, 0},
        {"an item as old as the minimum goes, a younger one stays", 10, 0, 300, 900, {"a", "b", "e"}, kOverLimit, 100},
        {"nothing old enough", 30, 0, 1000, 900, {}, kOverLimit, 150},
        {"free space to keep", 0, 30, 0, 250, {"a"}, kTooLittleFree, 0},
        {"both: the larger need", 30, 30, 0, 250, {"a", "b"}, kOverLimit | kTooLittleFree, 0},
        {"more free space than the items hold", 0, 90, 0, 100, {"a", "b", "e", "c", "d"}, kTooLittleFree, 0},
    };
    std::vector<SizedItem> items;
    for (int i = 0; i < 5; i++) items.push_back({&names[i], now.dateByAddingInterval(-std::chrono::seconds(ages[i])), sizes[i]});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const LimitChoice choice = chooseForLimits(items, {1000, c.free}, {c.limit, c.keepFree, c.minimumAge}, now);
        EXPECT_EQ(choice.names, c.gone);
        EXPECT_EQ(choice.reasons, c.reasons);
        EXPECT_EQ(choice.unfreed, c.unfreed);
    }
    // An item the user keeps counts toward the trash's size but never goes: "over it" without "a".
    items[2].kept = true;
    EXPECT_EQ(chooseForLimits(items, {1000, 900}, {30, 0, 0}, now).names, (std::vector<std::string>{"b", "e"}));
}

}  // namespace
}  // namespace quillon
