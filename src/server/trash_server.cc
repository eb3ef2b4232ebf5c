#include "server/trash_server.h"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "platform/atomic_file.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "platform/user_defaults.h"
#include "server/purge_notice.h"

namespace quillon {

std::string TrashServer::listFilePath() {
    return Environment::current().preferencesFolder() + "/local.vantor.quillon.list.plist";
}

namespace {

ClockReading readClocks() {
    Environment &environment = Environment::current();
    const std::chrono::nanoseconds boot = environment.bootTime();  // first: see ClockReading
    return {environment.now(), boot};
}

}  // namespace

TrashServer::TrashServer(RunLoop &loop, std::shared_ptr<QuitFlag> quitting)
    : loop_(loop),
      quitting_(std::move(quitting)),
      lastClock_(readClocks()),
      cycleEnded_(loop, [this] { finishCycle(); }) {
    trash_ = Trash::trashFromFile(listFilePath());
    preferences_ = Preferences::preferences();
    observer_ = DistributedNotificationCenter::defaultCenter().addObserver(Preferences::kPreferencesChanged,
                                                                          [this] { updatePreferences(); });
}

TrashServer::~TrashServer() {
    DistributedNotificationCenter::defaultCenter().removeObserver(observer_);
    stop();
    (void)settleCycle();
    answering_.clear();
    waiting_.clear();
    setTrash(nullptr);
    setPreferences(nullptr);
}

void TrashServer::start(double firstCycleAtMost) {
    if (currentTimer_ && currentTimer_->isValid()) return;
    logMessage("Starting Quillon server %.1f", atof(versionString().value_or("").c_str()));
    currentTimer_ = std::make_unique<RepeatingTimer>(loop_, resolution_, [this] { processTrash(); },
                                                     std::min(resolution_, firstCycleAtMost));
}

void TrashServer::stop() {
    if (!currentTimer_) return;
    logMessage("Stopping Quillon server %s", versionString().value_or("(unknown)").c_str());
    currentTimer_.reset();
    if (settleCycle() && trash_) (void)trash_->save();
}

bool TrashServer::settleCycle() {
    if (!cycle_) return true;
    if (cycle_->waitPatiently()) {
        finishCycle(false);
        return true;
    }
    cycle_.reset();
    logMessage("the purge cycle does not answer: the trash list is not saved, its last save stands");
    return false;
}

namespace {

// `now` moved by `count` periods of the unit `period`; the count is clamped to what the
// calendar arithmetic takes, far beyond any date a CalendarDate can hold.
CalendarDate movedByPeriods(const CalendarDate &now, int period, int64_t count) {
    const auto steps = [&](int64_t factor) {
        return static_cast<int>(std::clamp<int64_t>(count * factor, INT32_MIN, INT32_MAX));
    };
    switch (period) {
        case 0: return now.dateByAdding(0, 0, 0, steps(1), 0, 0);
        case 1: return now.dateByAdding(0, 0, steps(1), 0, 0, 0);
        case 2: return now.dateByAdding(0, 0, steps(7), 0, 0, 0);
        default: return now.dateByAdding(0, steps(1), 0, 0, 0, 0);
    }
}

bool namesAPeriod(int period, int units) { return period >= 0 && period <= 3 && units >= 0; }

}  // namespace

std::optional<CalendarDate> TrashServer::cutoffDate(const CalendarDate &now, int period, int units) {
    if (!namesAPeriod(period, units)) return std::nullopt;
    return movedByPeriods(now, period, -(static_cast<int64_t>(units) + 1));
}

std::optional<CalendarDate> TrashServer::dueDate(const CalendarDate &firstSeen, int period, int units) {
    if (!namesAPeriod(period, units)) return std::nullopt;
    // The first moment whose cut-off lies after the first-seen date: found with the cycle's
    // own computation, not by adding the period, which differs at month ends and around a
    // change of summer time. The cut-off never moves back as time goes on, so the moments
    // before it all keep the item and those from it all purge it: a search by halves finds it.
    const auto cutoffPasses = [&](const CalendarDate &moment) { return firstSeen < *cutoffDate(moment, period, units); };
    using std::chrono::nanoseconds;
    CalendarDate low = firstSeen;  // keeps the item
    // A period later, and a week for what a month's end or a change of summer time can add.
    const CalendarDate far = movedByPeriods(firstSeen, period, static_cast<int64_t>(units) + 1).dateByAdding(0, 0, 7, 0, 0, 0);
    CalendarDate high = far;
    if (!cutoffPasses(high)) return high;  // a period beyond what a date can hold
    while (high.timePoint() - low.timePoint() > nanoseconds(1)) {
        const CalendarDate middle(low.timePoint() + (high.timePoint() - low.timePoint()) / 2);
        (cutoffPasses(middle) ? high : low) = middle;
    }
    return high;
}

void TrashServer::followClock() {
    const ClockReading clock = readClocks();
    if (const auto jump = clockJump(lastClock_, clock)) {
        const double seconds = std::chrono::duration<double>(*jump).count(), size = std::fabs(seconds);
        char amount[64];
        if (size < 120) snprintf(amount, sizeof amount, "%.1f seconds", size);
        else if (size < 48 * 3600) snprintf(amount, sizeof amount, "%.1f hours", size / 3600);
        else snprintf(amount, sizeof amount, "%.1f days", size / 86400);
        logMessage("the wall clock jumped %s by %s: the first-seen dates moved with it, so the ages stay as observed",
                   seconds > 0 ? "forward" : "back", amount);
        trash()->moveTrashDates(*jump);
    }
    lastClock_ = clock;
    if (const size_t clamped = trash()->clampTrashDates(clock.wall))
        logMessage("%zu first-seen dates lay later than now: they are now", clamped);
}

PurgeRequest TrashServer::purgeRequest() {
    const int units = preferences()->units();
    const int period = preferences()->period();
    std::optional<CalendarDate> cutoff = cutoffDate(Environment::current().now(), period, units);
    if (!cutoff) {
        // Settings no panel offers come from a damaged or hand-edited domain. Still scan, so
        // first-seen dates are kept, but never let them purge anything.
        if (reportedBadSettings_ != std::pair(period, units))
            logMessage("settings name no purge period (period %d, units %d): nothing is purged until they are fixed",
                       period, units);
        reportedBadSettings_ = std::pair(period, units);
        cutoff = CalendarDate::fromUnixTime(-CalendarDate::kLimitSeconds);  // nothing lies strictly before it
    } else {
        reportedBadSettings_.reset();
    }
    if (!preferences()->isSecureKnown()) {
        // Whether the user wants items overwritten is unknown: deleting them plainly could go
        // against that wish, so nothing is purged until the settings can be read again.
        if (!reportedUnknownSecure_)
            logMessage("the settings do not say whether to delete securely: nothing is purged until they can be read");
        reportedUnknownSecure_ = true;
        cutoff = CalendarDate::fromUnixTime(-CalendarDate::kLimitSeconds);
    } else {
        reportedUnknownSecure_ = false;
    }
    return PurgeRequest{*cutoff, preferences()->isSecure(), preferences()->isNotifying()};
}

void TrashServer::startCycle() {
    followClock();  // the loop's thread still holds the registry
    const PurgeRequest request = purgeRequest();
    cycleNotifies_ = request.measure;

    // From here until finishCycle the registry is the cycle thread's alone.
    cycle_ = std::make_unique<BackgroundWork>([trash = trash_, request] { trash->processTrash(request); }, quitting_,
                                              cycleEnded_.waker());
}

void TrashServer::finishCycle(bool again) {
    if (!cycle_ || !cycle_->done()) return;  // a wake from a cycle already taken
    (void)cycle_->waitPatiently();            // joins: it has returned
    cycle_.reset();
    const CycleReport report = trash_->lastCycle();
    if (cycleNotifies_) noticePurge(report);
    const auto answered = std::move(answering_);
    answering_ = std::move(waiting_);
    waiting_.clear();
    if (!answering_.empty() && again) startCycle();
    for (const auto &answer : answered) answer(report);
}

void TrashServer::processTrash() {
    if (!cycle_) startCycle();
}

void TrashServer::purgeNow(std::function<void(const CycleReport &)> done) {
    if (!cycle_) {
        answering_.push_back(std::move(done));
        startCycle();
    } else {
        waiting_.push_back(std::move(done));
    }
}

void TrashServer::updatePreferences() {
    UserDefaults::resetStandardUserDefaults();
    setPreferences(Preferences::preferences());
}

std::optional<std::string> TrashServer::versionString() const { return std::string(QUILLON_VERSION); }

std::optional<CalendarDate> TrashServer::nextCycleDate() const {
    if (!currentTimer_) return std::nullopt;
    // The timer counts on the boot clock, which goes on through suspend as the wall clock does.
    struct timespec boot;
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double nowUsec = static_cast<double>(boot.tv_sec) * 1e6 + static_cast<double>(boot.tv_nsec) / 1e3;
    const double ahead = (static_cast<double>(currentTimer_->nextFireTime()) - nowUsec) / 1e6;
    return CalendarDate::fromUnixSeconds(Environment::current().now().unixSeconds() + std::max(0.0, ahead));
}

void TrashServer::quit() {
    quitting_->raise();
    (void)raise(SIGTERM);
}

}  // namespace quillon
