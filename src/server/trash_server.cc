#include "server/trash_server.h"
#include "trash/trash_list_file.h"

#include <time.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <utility>

#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "policy/purge_policy.h"
#include "policy/space_limits.h"
#include "preferences/user_defaults.h"
#include "server/purge_notice.h"

namespace quillon {

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
    trash_ = Trash::trashFromFile(trashListFilePath());
    trash_->setHistoryPath(deletionHistoryPath());
    preferences_ = Preferences::preferences();
    warnings_ = std::make_unique<PurgeWarnings>([this](const std::vector<ItemKey> &items) {
        const CalendarDate now = Environment::current().now();
        keep({items, {}, std::nullopt, now.dateByAdding(0, 0, 7, 0, 0, 0)}, [](size_t) {});
    });
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
    const std::optional<bool> secure =
        preferences()->isSecureKnown() ? std::optional<bool>(preferences()->isSecure()) : std::nullopt;
    const PurgeDecision decision = purgeDecision(Environment::current().now(), period, units, secure);
    // Settings no panel offers come from a damaged or hand-edited domain. Each reason to hold
    // back is logged once while it lasts.
    if (!decision.periodNamed) {
        if (reportedBadSettings_ != std::pair(period, units))
            logMessage("settings name no purge period (period %d, units %d): nothing is purged until they are fixed",
                       period, units);
        reportedBadSettings_ = std::pair(period, units);
    } else {
        reportedBadSettings_.reset();
    }
    if (!decision.secureKnown && !reportedUnknownSecure_)
        logMessage("the settings do not say whether to delete securely: nothing is purged until they can be read");
    reportedUnknownSecure_ = !decision.secureKnown;
    // Sizes are measured always: the deletion history keeps them.
    PurgeRequest request{decision.cutoff, decision.secure, true};
    request.historyNames = preferences()->historyNames();
    request.leftAlone = preferences()->leftAloneVolumes();
    // The limits delete only where the age rule may: with the secure wish known.
    if (decision.purges()) {
        request.limits = {preferences()->trashLimit(), preferences()->keepFree(), preferences()->minimumAge()};
        request.chooser = chooseForLimits;
    }
    // The warning looks a day ahead: the items due by then, under that moment's cut-off.
    if (decision.purges() && (preferences()->warnItems() > 0 || preferences()->warnBytes() > 0)) {
        request.warnDate = Environment::current().now().dateByAdding(0, 0, 1, 0, 0, 0);
        request.warnCutoff = cutoffDate(*request.warnDate, preferences()->period(), preferences()->units());
    }
    return request;
}

void TrashServer::startCycle() {
    followClock();  // the loop's thread still holds the registry
    PurgeRequest request = purgeRequest();
    cycleNotifies_ = preferences()->isNotifying();
    if (!answering_.empty()) request.why = kWhyPurgeNow;  // a purge-now call asked for this cycle

    // From here until finishCycle the registry is the cycle thread's alone.
    cycle_ = std::make_unique<BackgroundWork>([trash = trash_, request] { trash->processTrash(request); }, quitting_,
                                              cycleEnded_.waker());
}

void TrashServer::finishCycle(bool again) {
    if (!cycle_ || !cycle_->done()) return;  // a wake from a cycle already taken
    (void)cycle_->waitPatiently();            // joins: it has returned
    cycle_.reset();
    const CycleReport report = trash_->lastCycle();
    if (cycleNotifies_) noticePurge(report, warnings_->cycleNoticeSent());
    warnings_->cycleEnded(report, preferences()->warnItems(), preferences()->warnBytes());
    for (const auto &deferred : std::exchange(deferred_, {})) deferred();
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

void TrashServer::keep(KeepRequest request, std::function<void(size_t)> done) {
    if (cycle_) {
        deferred_.push_back([this, request = std::move(request), done = std::move(done)] { keep(request, done); });
        return;
    }
    size_t kept = 0;
    const std::set<ItemKey> items(request.items.begin(), request.items.end());
    const CalendarDate now = Environment::current().now();
    std::optional<CalendarDate> at, cutoff;
    if (request.dueWithin) {
        at = now.dateByAddingInterval(std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::duration<double>(std::max(0.0, *request.dueWithin))));
        cutoff = cutoffDate(*at, preferences()->period(), preferences()->units());
    }
    if (trash_ && trash_->folders())
        for (const auto &folder : *trash_->folders()) {
            if (!folder->files()) continue;
            std::vector<std::string> names = cutoff ? folder->dueNames(*cutoff, *at) : std::vector<std::string>{};
            for (const auto &file : *folder->files())
                if (items.count({folder->path(), file->path()}) ||
                    // A name as the user typed it, or as the tool and the bus show it (escaped).
                    std::find(request.names.begin(), request.names.end(), file->path()) != request.names.end() ||
                    std::find(request.names.begin(), request.names.end(), escapedText(file->path())) != request.names.end())
                    names.push_back(file->path());
            kept += folder->keepNames(names, request.until);
        }
    if (kept > 0) {
        trash_->setUnsavedChanges(true);
        (void)trash_->save();
    }
    done(kept);
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
