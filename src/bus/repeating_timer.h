// A repeating timer on a RunLoop, on the boot-time clock, so a machine that slept past a
// firing fires soon after it wakes. Each firing is re-armed one interval after the previous
// one; firings missed while the handler ran long or the machine slept are not made up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

typedef struct sd_event_source sd_event_source;

namespace quillon {

class RunLoop;

class RepeatingTimer {
 public:
    // The first firing comes `firstSeconds` from now (one interval when not given), the next
    // ones an interval apart. Times below a millisecond are taken as a millisecond.
    RepeatingTimer(RunLoop &loop, double intervalSeconds, std::function<void()> fire);
    RepeatingTimer(RunLoop &loop, double intervalSeconds, std::function<void()> fire, double firstSeconds);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer &) = delete;
    RepeatingTimer &operator=(const RepeatingTimer &) = delete;

    bool isValid() const { return source_ != nullptr; }
    void invalidate();
    // When the next firing is due, in microseconds of CLOCK_BOOTTIME; 0 when invalid.
    uint64_t nextFireTime() const;

 private:
    static int onTime(sd_event_source *source, uint64_t usec, void *userdata);

    sd_event_source *source_ = nullptr;
    uint64_t interval_;
    std::function<void()> fire_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);  // false once destroyed
};

}  // namespace quillon
