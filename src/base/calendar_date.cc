#include "base/calendar_date.h"

#include <algorithm>
#include <array>
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

namespace {

// The six fields of "YYYY-MM-DDThh:mm:ss" followed by exactly `suffix`, digits only and each in
// its range; nullopt for anything else.
std::optional<std::array<int, 6>> dateFields(std::string_view text, std::string_view suffix) {
    static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() != kShape.size() + suffix.size() || text.substr(kShape.size()) != suffix) return std::nullopt;
    for (size_t i = 0; i < kShape.size(); i++)
        if (kShape[i] == 'd' ? (text[i] < '0' || text[i] > '9') : text[i] != kShape[i]) return std::nullopt;
    std::array<int, 6> fields{};
    static constexpr size_t kStarts[] = {0, 5, 8, 11, 14, 17}, kWidths[] = {4, 2, 2, 2, 2, 2};
    for (size_t f = 0; f < 6; f++)
        for (size_t i = kStarts[f]; i < kStarts[f] + kWidths[f]; i++) fields[f] = fields[f] * 10 + (text[i] - '0');
    const auto [year, month, day, hour, minute, second] = fields;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    return fields;
}

}  // namespace

std::optional<std::string> utcText(const CalendarDate &date) {
    using namespace std::chrono;
    const auto whole = floor<seconds>(date.timePoint());
    const auto day = floor<days>(whole);
    const year_month_day civil(day);
    const hh_mm_ss time(whole - day);
    if (civil.year() < year(1) || civil.year() > year(9999)) return std::nullopt;
    // Digits put in place rather than printed: the list file holds one date per record.
    std::string text = "0000-00-00T00:00:00Z";
    const auto put = [&text](size_t at, int64_t value, int digits) {
        for (int i = digits - 1; i >= 0; i--, value /= 10) text[at + static_cast<size_t>(i)] = static_cast<char>('0' + value % 10);
    };
    put(0, static_cast<int>(civil.year()), 4);
    put(5, static_cast<unsigned>(civil.month()), 2);
    put(8, static_cast<unsigned>(civil.day()), 2);
    put(11, time.hours().count(), 2);
    put(14, time.minutes().count(), 2);
    put(17, time.seconds().count(), 2);
    return text;
}

std::optional<CalendarDate> parseUtc(std::string_view text) {
    using namespace std::chrono;
    const auto fields = dateFields(text, "Z");
    if (!fields) return std::nullopt;
    const auto [y, m, d, hour, minute, second] = *fields;
    // A day beyond the month's end counts on into the next, as timegm does.
    const sys_days day = sys_days(year(y) / month(static_cast<unsigned>(m)) / 1) + days(d - 1);
    const int64_t t = day.time_since_epoch().count() * int64_t{86400} + hour * 3600 + minute * 60 + second;
    if (t < -CalendarDate::kLimitSeconds || t > CalendarDate::kLimitSeconds) return std::nullopt;
    return CalendarDate::fromUnixTime(t);
}

std::optional<int64_t> parseLocalDateTime(std::string_view text) {
    const auto fields = dateFields(text, "");
    if (!fields) return std::nullopt;
    struct tm local = {};
    local.tm_year = (*fields)[0] - 1900;
    local.tm_mon = (*fields)[1] - 1;
    local.tm_mday = (*fields)[2];
    local.tm_hour = (*fields)[3];
    local.tm_min = (*fields)[4];
    local.tm_sec = (*fields)[5];
    local.tm_isdst = -1;  // whatever the local rule was on that day
    local.tm_wday = -1;   // mktime sets it on success; -1 is also a valid time_t
    const time_t t = mktime(&local);
    if (local.tm_wday == -1) return std::nullopt;
    return static_cast<int64_t>(t);
}

}  // namespace quillon
