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

TEST_F(CalendarDateTest, MonthsAreCalendarStepsKeepingTheTimeOfDay) {
    EXPECT_EQ(local_date(2027, 3, 15, 10, 30).dateByAdding(0, -1, 0, 0, 0, 0), local_date(2027, 2, 15, 10, 30));
    EXPECT_EQ(local_date(2027, 1, 15, 10, 30).dateByAdding(0, -2, 0, 0, 0, 0), local_date(2026, 11, 15, 10, 30));
    EXPECT_EQ(local_date(2027, 1, 15, 10, 30).dateByAdding(0, -14, 0, 0, 0, 0), local_date(2025, 11, 15, 10, 30));
    // A day the month lacks overflows into the next month.
    EXPECT_EQ(local_date(2027, 3, 31, 9, 0).dateByAdding(0, -1, 0, 0, 0, 0), local_date(2027, 3, 3, 9, 0));
    EXPECT_EQ(local_date(2028, 3, 31, 9, 0).dateByAdding(0, -1, 0, 0, 0, 0), local_date(2028, 3, 2, 9, 0));
}

TEST_F(CalendarDateTest, DaysKeepLocalTimeAcrossSummerTimeWhileHoursAreElapsed) {
    const CalendarDate after = local_date(2027, 3, 30, 12, 0);  // summer time began on 28 March
    const CalendarDate four_days = after.dateByAdding(0, 0, -4, 0, 0, 0);
    EXPECT_EQ(four_days, local_date(2027, 3, 26, 12, 0));
    EXPECT_EQ(after.timeIntervalSinceDate(four_days), 95 * 3600.0);
    EXPECT_EQ(after.dateByAdding(0, 0, -14, 0, 0, 0), local_date(2027, 3, 16, 12, 0));
    const CalendarDate twelve_hours = local_date(2027, 3, 28, 12, 0).dateByAdding(0, 0, 0, -12, 0, 0);
    EXPECT_EQ(local_date(2027, 3, 28, 12, 0).timeIntervalSinceDate(twelve_hours), 12 * 3600.0);
    EXPECT_EQ(twelve_hours, local_date(2027, 3, 27, 23, 0));
}

TEST_F(CalendarDateTest, FractionsOfASecondAreKept) {
    const CalendarDate date = CalendarDate::fromUnixSeconds(1'800'000'000.25);
    EXPECT_DOUBLE_EQ(date.dateByAdding(0, 0, -1, 0, 0, 0).unixSeconds(), 1'800'000'000.25 - 86400);
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
