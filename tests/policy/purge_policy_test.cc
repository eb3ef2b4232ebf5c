#include <stdlib.h>
#include <time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

#include "policy/purge_policy.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;

TEST(CutoffDate, EveryUnitByLocalCalendarArithmeticAndNoneForSettingsThatNameNoPeriod) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const CalendarDate march15 = local_date(2027, 3, 15, 10, 30);
    const struct { CalendarDate now; int period, units; std::optional<CalendarDate> expected; } cases[] = {
        {march15, 3, 0, local_date(2027, 2, 15, 10, 30)},
        {local_date(2027, 1, 10, 8, 0), 3, 1, local_date(2026, 11, 10, 8, 0)},
        {march15, 2, 1, local_date(2027, 3, 1, 10, 30)},                   // 14 days
        {march15, 1, 3, local_date(2027, 3, 11, 10, 30)},                  // the default: 4 days
        {march15, 0, 11, CalendarDate::fromUnixSeconds(march15.unixSeconds() - 12 * 3600)},
        {local_date(2027, 3, 30, 12, 0), 1, 3, local_date(2027, 3, 26, 12, 0)},  // days keep the time across summer time
        {local_date(2027, 3, 28, 12, 0), 0, 11, local_date(2027, 3, 27, 23, 0)},  // hours are elapsed time
        {local_date(2027, 3, 31, 9, 0), 3, 0, local_date(2027, 3, 3, 9, 0)},     // 31 February overflows into March
        {local_date(2028, 3, 31, 9, 0), 3, 0, local_date(2028, 3, 2, 9, 0)},     // in a leap year too
        {local_date(2027, 1, 15, 10, 30), 3, 13, local_date(2025, 11, 15, 10, 30)},
        {CalendarDate::fromUnixSeconds(1'800'000'000.25), 1, 0, CalendarDate::fromUnixSeconds(1'800'000'000.25 - 86400)},
        {march15, 4, 3, std::nullopt}, {march15, -1, 3, std::nullopt}, {march15, 1, -1, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cutoffDate(c.now, c.period, c.units), c.expected) << c.now.description() << " " << c.period << " " << c.units;
    // Extreme counts stop at the edge of what a date holds instead of overflowing.
    EXPECT_EQ(cutoffDate(march15, 3, 2147483647)->unixSeconds(), -CalendarDate::kLimitSeconds);
    EXPECT_EQ(cutoffDate(march15, 1, 2147483647)->unixSeconds(), -CalendarDate::kLimitSeconds);
    EXPECT_LT(*cutoffDate(march15, 0, 2147483647), march15);
    const CalendarDate earliest = CalendarDate::fromUnixTime(-CalendarDate::kLimitSeconds);
    EXPECT_GT(CalendarDate::fromUnixTime(CalendarDate::kLimitSeconds).timeIntervalSinceDate(earliest), 0);
    EXPECT_GT(*dueDate(march15, 2, 2147483647), march15);
    EXPECT_FALSE(dueDate(march15, 1, -1));
    unsetenv("TZ");
    tzset();
}

// The moment `list` promises is the first at which the cycle's own cut-off passes the
// first-seen date: at month ends, leap days and both changes of summer time, for every unit.
TEST(CutoffDate, TheDueDateIsTheFirstMomentTheCutoffPasses) {
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const CalendarDate firstSeen[] = {
        local_date(2027, 1, 31, 12, 0), local_date(2028, 2, 29, 9, 15), local_date(2027, 3, 31, 23, 59),
        local_date(2027, 3, 27, 2, 30),  // a day before the spring gap, at its hour
        local_date(2027, 10, 30, 2, 30), local_date(2027, 12, 31, 0, 0), local_date(2027, 6, 15, 10, 0),
    };
    for (const CalendarDate &seen : firstSeen)
        for (int period = 0; period < 4; period++)
            for (int units : {0, 1, 11}) {
                SCOPED_TRACE(seen.description() + " period " + std::to_string(period) + " units " + std::to_string(units));
                const auto due = dueDate(seen, period, units);
                ASSERT_TRUE(due);
                EXPECT_LT(seen, *cutoffDate(*due, period, units));
                EXPECT_GE(seen, *cutoffDate(CalendarDate(due->timePoint() - std::chrono::nanoseconds(1)), period, units));
            }
    // Not a month after 31 January, but when 1 March's cut-off, 1 February, passes it.
    EXPECT_EQ(dueDate(local_date(2027, 1, 31, 12, 0), 3, 0), local_date(2027, 3, 1, 0, 0));
    unsetenv("TZ");
    tzset();
}

// Settings that name no period, or leave the secure wish unknown, purge nothing: the cut-off
// lies before every date a record can hold. Only a known wish decides how.
TEST(PurgeDecision, NothingGoesWhileThePeriodOrTheSecureWishIsUnknown) {
    const CalendarDate now = CalendarDate::fromUnixSeconds(1'800'000'000);
    const CalendarDate earliest = CalendarDate::fromUnixTime(-CalendarDate::kLimitSeconds);
    const struct { int period, units; std::optional<bool> secure; bool periodNamed, secureKnown, secureDecided; } cases[] = {
        {1, 3, true, true, true, true},       {1, 3, false, true, true, false},
        {9, 3, false, false, true, false},    {1, -1, true, false, true, true},
        {1, 3, std::nullopt, true, false, false}, {-1, 3, std::nullopt, false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.period) + " " + std::to_string(c.units));
        const PurgeDecision decision = purgeDecision(now, c.period, c.units, c.secure);
        EXPECT_EQ(decision.periodNamed, c.periodNamed);
        EXPECT_EQ(decision.secureKnown, c.secureKnown);
        EXPECT_EQ(decision.secure, c.secureDecided);
        EXPECT_EQ(decision.purges(), c.periodNamed && c.secureKnown);
        EXPECT_EQ(decision.cutoff, decision.purges() ? *cutoffDate(now, c.period, c.units) : earliest);
    }
}

// Due items "a".."e" of 10 bytes each (in one folder); thresholds are exceeded, not met.
TEST(PurgeWarning, OncePerBatchOverEitherThresholdAndAgainForANewBatch) {
    const struct { std::string due, warned; uint64_t items, bytes; bool warns; std::string covered; } cases[] = {
        {"abc", "", 2, 0, true, "abc"},     // over the count
        {"abc", "", 3, 0, false, ""},       // at it: not over
        {"abc", "", 0, 29, true, "abc"},    // over the bytes
        {"abc", "", 0, 0, false, ""},       // both off
        {"abc", "abc", 1, 1, false, "abc"}, // the same batch: once
        {"abcd", "ab", 1, 0, true, "abcd"}, // two new items make a batch of their own, told whole
        {"abcd", "abc", 1, 0, false, "abc"},// one trickling in does not
        {"cde", "abc", 2, 0, false, "c"},   // what went is forgotten, so it warns when it comes back
    };
    for (const auto &c : cases) {
        std::vector<DueItem> due;
        std::set<ItemKey> warned, covered;
        for (char n : c.due) due.push_back({{"/t", std::string(1, n)}, 10});
        for (char n : c.warned) warned.insert({"/t", std::string(1, n)});
        for (char n : c.covered) covered.insert({"/t", std::string(1, n)});
        const PurgeWarning warning = purgeWarning(due, warned, c.items, c.bytes);
        EXPECT_EQ(warning.warns, c.warns) << c.due << " " << c.warned;
        EXPECT_EQ(warning.items, c.warns ? due.size() : 0) << c.due;
        EXPECT_EQ(warning.bytes, c.warns ? 10 * due.size() : 0) << c.due;
        EXPECT_EQ(warning.warned, covered) << c.due << " " << c.warned;
    }
}

}  // namespace
}  // namespace quillon
