#include "base/calendar_date.h"

#include <algorithm>
#include <ctime>

namespace quillon {

using std::chrono::duration;
using std::chrono::duration_cast;

namespace {

int64_t clampSeconds(int64_t seconds) {
    return std::clamp(seconds, -CalendarDate::kLimitSeconds, CalendarDate::kLimitSeconds);
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

}  // namespace

CalendarDate CalendarDate::fromUnixTime(int64_t seconds) {
    return CalendarDate(Clock::time_point(std::chrono::seconds(clampSeconds(seconds))));
}

CalendarDate CalendarDate::fromUnixSeconds(double seconds) {
    if (!(seconds == seconds)) seconds = 0;  // NaN
    const double limit = static_cast<double>(kLimitSeconds);
    seconds = std::clamp(seconds, -limit, limit);
    return CalendarDate(Clock::time_point(duration_cast<Clock::duration>(duration<double>(seconds))));
}

double CalendarDate::unixSeconds() const { return duration<double>(moment_.time_since_epoch()).count(); }

double CalendarDate::timeIntervalSinceDate(const CalendarDate &other) const {
    // In floating point: the difference of two far-apart dates overflows 64-bit nanoseconds.
    return unixSeconds() - other.unixSeconds();
}

CalendarDate CalendarDate::dateByAddingInterval(std::chrono::nanoseconds interval) const {
    using std::chrono::nanoseconds;
    const int64_t limit = duration_cast<nanoseconds>(std::chrono::seconds(kLimitSeconds)).count();
    const int64_t from = duration_cast<nanoseconds>(moment_.time_since_epoch()).count();
    int64_t to;
    if (__builtin_add_overflow(from, interval.count(), &to)) to = interval.count() < 0 ? -limit : limit;
    return CalendarDate(Clock::time_point(duration_cast<Clock::duration>(nanoseconds(std::clamp(to, -limit, limit)))));
}

CalendarDate CalendarDate::dateByAdding(int years, int months, int days, int hours, int minutes,
                                        int seconds) const {
    const auto whole = std::chrono::floor<std::chrono::seconds>(moment_);
    const auto fraction = moment_ - whole;
    int64_t result = whole.time_since_epoch().count();
    if (years != 0 || months != 0 || days != 0) {
        const time_t t = static_cast<time_t>(result);
        struct tm local;
        if (localtime_r(&t, &local)) {
            // Normalise in 64 bits first: the fields of struct tm are plain ints.
            const int64_t month_index = static_cast<int64_t>(local.tm_mon) + months;
            const int64_t year = static_cast<int64_t>(local.tm_year) + years + floorDiv(month_index, 12);
            const int64_t day = static_cast<int64_t>(local.tm_mday) + days;
            constexpr int64_t kYearSpan = 20000;  // far beyond the span a date can hold
            if (year < -kYearSpan || year > kYearSpan || day < -kYearSpan * 366 || day > kYearSpan * 366) {
                result = (year < 0 || day < 0) ? -kLimitSeconds : kLimitSeconds;
            } else {
                local.tm_year = static_cast<int>(year);
                local.tm_mon = static_cast<int>(month_index - floorDiv(month_index, 12) * 12);
                local.tm_mday = static_cast<int>(day);
                local.tm_isdst = -1;  // let the target date decide whether summer time applies
                local.tm_wday = -1;   // mktime sets it on success; -1 is also a valid time_t
                const time_t shifted = mktime(&local);
                if (local.tm_wday != -1) result = shifted;
            }
        }
    }
    result = clampSeconds(result);
    result += static_cast<int64_t>(hours) * 3600 + static_cast<int64_t>(minutes) * 60 + seconds;
    return CalendarDate(fromUnixTime(result).moment_ + fraction);
}

std::string CalendarDate::description() const {
    const time_t t = Clock::to_time_t(std::chrono::floor<std::chrono::seconds>(moment_));
    struct tm local;
    char text[64];
    if (!localtime_r(&t, &local) || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &local) == 0)
        return "(invalid date)";
    return text;
}

}  // namespace quillon
