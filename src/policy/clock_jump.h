// Whether the wall clock was set between two cycles, and by how much: a pure decision.
//
// Dates are stored on the wall clock, which others set: a machine without a battery-backed
// clock that starts days behind and is put right by time sync, a restored time, a hand-set
// one. The boot clock (time since boot, suspend included) only goes forward. On Linux the two
// run at one rate (time sync's frequency and slew corrections steer both; a suspend is added
// to both), so while the server runs, a wall-clock step that differs from the boot clock's is
// a jump, and moving every first-seen date by it keeps the ages what the server observed.
#pragma once

#include <chrono>
#include <optional>

#include "base/calendar_date.h"

namespace quillon {

// The two clocks read together, the boot clock first: a suspend between the two readings
// then shows as a jump forward, which makes items younger (a deletion put off, never brought
// forward) and is undone at the next cycle.
struct ClockReading {
    CalendarDate wall;
    std::chrono::nanoseconds boot;
};

// How much a step of the wall clock may differ from the boot clock's and still not be taken
// for a jump: kJumpFloor, plus kJumpAllowance of the boot clock's step.
// - The floor covers what blurs a single comparison: the two clocks are not read at one
//   instant (a preempted thread on a loaded machine, up to about a second) and a leap second
//   is a step of one second nobody set. Two seconds are far below any purge period (an hour
//   at least), so no age is off by anything that matters.
// - The allowance, 1/1000, is twice the largest slew a kernel time-sync loop applies (500 ppm,
//   0.45 s over a 900 s cycle): should the clocks ever be slewed apart (another kernel, a
//   clock namespace) a slewing clock is still never reported as jumping, also when cycles
//   lie far apart (a purge that took hours: 36 s over ten hours).
// - A suspend counts in both clocks and adds nothing.
// The smallest jump noticed between two 900 s cycles is thus about 2.9 s.
inline constexpr std::chrono::nanoseconds kJumpFloor = std::chrono::seconds(2);
inline constexpr double kJumpAllowance = 1e-3;

// The jump of the wall clock from `before` to `after` (positive: set forward): its step less
// the boot clock's, when that differs by more than the tolerance above; nullopt otherwise.
// Saturates instead of overflowing for readings centuries apart.
std::optional<std::chrono::nanoseconds> clockJump(const ClockReading &before, const ClockReading &after);

}  // namespace quillon
