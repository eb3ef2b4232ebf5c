#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/calendar_date.h"
#include "test_support.h"

namespace quillon {
namespace {

using quillon::testing::local_date;

// Central European time with its summer time rules, written out so no zone database is needed.
class CalendarDateTest : public ::testing::Test {
 protected:
    void SetUp() override {
        const char *old = getenv("TZ");
        saved_ = old ? std::optional<std::string>(old) : std::nullopt;
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_) setenv("TZ", saved_->c_str(), 1);
        else unsetenv("TZ");
        tzset();
    }

 private:
    std::optional<std::string> saved_;
};

// Months and days are calendar steps that keep the local time of day (a day the month lacks
// overflows into the next); hours are elapsed time; fractions of a second are kept.
TEST_F(CalendarDateTest, StepsByEachUnit) {
    const struct {
        CalendarDate from;
        int months, days, hours;
        CalendarDate expected;
    } cases[] = {
        {local_date(2027, 3, 15, 10, 30), -1, 0, 0, local_date(2027, 2, 15, 10, 30)},
        {local_date(2027, 1, 15, 10, 30), -2, 0, 0, local_date(2026, 11, 15, 10, 30)},
        {local_date(2027, 1, 15, 10, 30), -14, 0, 0, local_date(2025, 11, 15, 10, 30)},
        {local_date(2027, 3, 31, 9, 0), -1, 0, 0, local_date(2027, 3, 3, 9, 0)},
        {local_date(2028, 3, 31, 9, 0), -1, 0, 0, local_date(2028, 3, 2, 9, 0)},
        {local_date(2027, 3, 30, 12, 0), 0, -4, 0, local_date(2027, 3, 26, 12, 0)},  // across the spring change: 95 h
        {local_date(2027, 3, 30, 12, 0), 0, -14, 0, local_date(2027, 3, 16, 12, 0)},
        {local_date(2027, 3, 28, 12, 0), 0, 0, -12, local_date(2027, 3, 27, 23, 0)},  // 12 elapsed hours
        {CalendarDate::fromUnixSeconds(1'800'000'000.25), 0, -1, 0, CalendarDate::fromUnixSeconds(1'800'000'000.25 - 86400)},
    };
    for (const auto &c : cases) EXPECT_EQ(c.from.dateByAdding(0, c.months, c.days, c.hours, 0, 0), c.expected) << c.from.description();
}

TEST_F(CalendarDateTest, ExtremeStepsStopAtTheEdgeInsteadOfOverflowing) {
    const CalendarDate now = local_date(2027, 3, 15, 10, 30);
    EXPECT_EQ(now.dateByAdding(0, -2147483647 - 1, 0, 0, 0, 0).unixSeconds(), -CalendarDate::kLimitSeconds);
    EXPECT_EQ(now.dateByAdding(0, 2147483647, 0, 0, 0, 0).unixSeconds(), CalendarDate::kLimitSeconds);
    EXPECT_LT(now.dateByAdding(0, 0, 0, -2147483647 - 1, 0, 0).unixSeconds(), now.unixSeconds());
    EXPECT_EQ(now.dateByAdding(0, 0, -2147483647 - 1, 0, 0, 0).unixSeconds(), -CalendarDate::kLimitSeconds);
    // The two ends of the span are further apart than 64 bits of nanoseconds reach.
    const CalendarDate earliest = CalendarDate::fromUnixTime(-CalendarDate::kLimitSeconds);
    const CalendarDate latest = CalendarDate::fromUnixTime(CalendarDate::kLimitSeconds);
    EXPECT_GT(latest.timeIntervalSinceDate(earliest), 0);
    EXPECT_LT(earliest.timeIntervalSinceDate(latest), 0);
}

}  // namespace
}  // namespace quillon
