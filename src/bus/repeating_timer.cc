#include "bus/repeating_timer.h"

#include <systemd/sd-event.h>
#include <time.h>

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "bus/run_loop.h"

namespace quillon {

namespace {
uint64_t nowUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}
}  // namespace

RepeatingTimer::RepeatingTimer(RunLoop &loop, double intervalSeconds, std::function<void()> fire)
    : RepeatingTimer(loop, intervalSeconds, std::move(fire), intervalSeconds) {}

RepeatingTimer::RepeatingTimer(RunLoop &loop, double intervalSeconds, std::function<void()> fire, double firstSeconds)
    : interval_(static_cast<uint64_t>(std::max(intervalSeconds, 0.001) * 1e6)), fire_(std::move(fire)) {
    if (!loop.event()) return;
    // Let the system batch wake-ups by a thousandth of the interval (at most a second), and no
    // more, so that short intervals keep their pace.
    const uint64_t accuracy = std::clamp<uint64_t>(interval_ / 1000, 1, 1000000);
    const int r = sd_event_add_time(loop.event(), &source_, CLOCK_BOOTTIME,
                                   nowUsec() + static_cast<uint64_t>(std::max(firstSeconds, 0.001) * 1e6), accuracy,
                                   onTime, this);
    if (r < 0) {
        logMessage("could not schedule the timer: %s", strerror(-r));
        source_ = nullptr;
        return;
    }
    (void)sd_event_source_set_enabled(source_, SD_EVENT_ON);
}

RepeatingTimer::~RepeatingTimer() {
    *alive_ = false;
    invalidate();
}

void RepeatingTimer::invalidate() {
    if (source_) source_ = sd_event_source_disable_unref(source_);
    source_ = nullptr;
}

uint64_t RepeatingTimer::nextFireTime() const {
    uint64_t usec = 0;
    if (source_) (void)sd_event_source_get_time(source_, &usec);
    return usec;
}

int RepeatingTimer::onTime(sd_event_source *source, uint64_t usec, void *userdata) {
    auto *timer = static_cast<RepeatingTimer *>(userdata);
    // Re-arm before firing: a handler that invalidates the timer must win. A time source
    // whose time is not moved on fires again at once.
    uint64_t next = usec + timer->interval_;
    const uint64_t now = nowUsec();
    if (next <= now) next = now + timer->interval_;
    (void)sd_event_source_set_time(source, next);
    (void)sd_event_source_set_enabled(source, SD_EVENT_ON);
    const std::shared_ptr<bool> alive = timer->alive_;
    timer->fire_();
    // A firing that outlasted the interval is not followed by a catch-up firing.
    if (*alive && timer->source_ && next <= nowUsec()) (void)sd_event_source_set_time(source, nowUsec() + timer->interval_);
    return 0;
}

}  // namespace quillon
