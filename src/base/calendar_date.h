// A moment in time with local-time calendar arithmetic.
//
// Hours, minutes and seconds are elapsed time (3,600 s to an hour, also across a change of
// daylight-saving time). Years, months and days are calendar steps that keep the local time
// of day; a day that the target month lacks overflows into the next month (31 March minus
// one month is 3 March, or 2 March in a leap year).
//
// A date holds nanoseconds in 64 bits, so it spans about the years 1684 to 2255; arithmetic
// and conversions that would leave that span stop at its edge instead of overflowing.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon {

class CalendarDate {
 public:
    using Clock = std::chrono::system_clock;

    // Whole seconds from the epoch that a date may hold, either way.
    static constexpr int64_t kLimitSeconds = 9'000'000'000;

    explicit CalendarDate(Clock::time_point moment) : moment_(moment) {}
    // A moment given as whole seconds since the epoch, clamped to the span above.
    static CalendarDate fromUnixTime(int64_t seconds);
    // The present moment (the name the rest of the system knows it by).
    static CalendarDate calendarDate() { return CalendarDate(Clock::now()); }
    // A moment given as seconds since 1970-01-01T00:00:00Z.
    static CalendarDate fromUnixSeconds(double seconds);

    Clock::time_point timePoint() const { return moment_; }
    double unixSeconds() const;
    // Seconds from `other` to this date: negative when this date lies before `other`.
    double timeIntervalSinceDate(const CalendarDate &other) const;
    // This date moved by `interval` of elapsed time, stopping at the edge of the span.
    CalendarDate dateByAddingInterval(std::chrono::nanoseconds interval) const;
    CalendarDate dateByAdding(int years, int months, int days, int hours, int minutes, int seconds) const;
    // Local time as "YYYY-MM-DD hh:mm:ss +zzzz", for logs and people.
    std::string description() const;

    friend bool operator==(const CalendarDate &, const CalendarDate &) = default;
    friend auto operator<=>(const CalendarDate &, const CalendarDate &) = default;

 private:
    Clock::time_point moment_;
};

// The one text form of a moment in UTC, "YYYY-MM-DDThh:mm:ssZ" (the fraction of a second
// dropped), as property lists and scripts read it; nullopt outside the years 0001 to 9999.
std::optional<std::string> utcText(const CalendarDate &date);
// Exactly that form back, with the fields in range (a leap second reads as the next second);
// nullopt for any other text or a moment beyond a date's span.
std::optional<CalendarDate> parseUtc(std::string_view text);
// "YYYY-MM-DDThh:mm:ss" in local time, as the trash's info files write it: whole seconds since
// 1970, summer time as the local rule had it that day; nullopt for any other text.
std::optional<int64_t> parseLocalDateTime(std::string_view text);

}  // namespace quillon
