#include "policy/clock_jump.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quillon {

namespace {

int64_t saturatingDifference(int64_t a, int64_t b) {
    int64_t difference;
    if (!__builtin_sub_overflow(a, b, &difference)) return difference;
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
}

}  // namespace

std::optional<std::chrono::nanoseconds> clockJump(const ClockReading &before, const ClockReading &after) {
    using std::chrono::nanoseconds;
    const auto wall = [](const ClockReading &reading) {
        return std::chrono::duration_cast<nanoseconds>(reading.wall.timePoint().time_since_epoch()).count();
    };
    const int64_t wallStep = saturatingDifference(wall(after), wall(before));
    const int64_t bootStep = saturatingDifference(after.boot.count(), before.boot.count());
    const int64_t jump = saturatingDifference(wallStep, bootStep);
    const double tolerance = static_cast<double>(kJumpFloor.count()) +
                             kJumpAllowance * static_cast<double>(std::max<int64_t>(bootStep, 0));
    if (std::fabs(static_cast<double>(jump)) <= tolerance) return std::nullopt;
    return nanoseconds(jump);
}

}  // namespace quillon
