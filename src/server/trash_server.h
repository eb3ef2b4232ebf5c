// TrashServer: the server object. It owns the trash registry and the current preferences,
// runs the repeating purge timer, and at each firing turns the settings into a cut-off date
// and hands it, with the secure flag, to the registry. It follows "preferences changed" by
// rereading the settings; the timer keeps its schedule and the next cycle uses them.
//
// Threads: everything here runs on the run loop's thread except the cycle itself. A cycle
// reads the settings on the loop's thread, then hands the registry to a cycle thread of its
// own (fs/blocking_work.h, BackgroundWork), which scans, purges and saves; the end is
// signalled to the loop (bus/loop_wakeup.h), where the notice is posted and waiting
// purgeNow callers are answered. While a cycle runs, the registry belongs to its thread: the
// loop's thread does not touch trash() (nor may callers) until the cycle has ended
// (cycleRuns() false).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/calendar_date.h"
#include "bus/loop_wakeup.h"
#include "bus/notification_center.h"
#include "bus/repeating_timer.h"
#include "fs/blocking_work.h"
#include "policy/clock_jump.h"
#include "policy/purge_policy.h"
#include "server/purge_warning.h"
#include "preferences/preferences.h"
#include "trash/trash.h"

namespace quillon {

class RunLoop;

class TrashServer {
 public:
    // Reads the trash list file from the preferences folder, loads the settings and starts
    // observing "preferences changed". The interval is 900 s; no timer runs yet. `quitting` is
    // the process's quit request (raised by its quit paths and by quit()), and its patience
    // is that of the file work of every cycle and of the wait for it: the quitting one once
    // raised.
    explicit TrashServer(RunLoop &loop, std::shared_ptr<QuitFlag> quitting = std::make_shared<QuitFlag>());
    // Stops observing, stops, settles a running cycle as stop() does, then lets go of the
    // registry (which saves what is unsaved, unless a cycle given up on still holds it) and
    // of the preferences.
    ~TrashServer();
    TrashServer(const TrashServer &) = delete;
    TrashServer &operator=(const TrashServer &) = delete;

    // Logs "Starting Quillon server %.1f" and schedules the timer, unless one runs already.
    // The first cycle comes one interval later or `firstCycleAtMost` seconds later, whichever
    // is sooner (a minute: soon after a login, yet not slowing it), the next ones an interval
    // apart. The start itself purges nothing.
    static constexpr double kFirstCycleAtMost = 60.0;
    void start(double firstCycleAtMost = kFirstCycleAtMost);
    // Logs "Stopping Quillon server %s", ends the timer, waits for a running cycle while it
    // makes progress (its end is taken as usual: notice, answers), and saves the registry,
    // unless no timer runs. A cycle that made no progress for the patience (the quitting
    // patience once quitting is raised) is given up on: it still holds the registry, so
    // nothing is saved and the last save stands, which is logged.
    void stop();
    // The timer's firing: starts a cycle, unless one runs (a firing missed so is not made up).
    // Every cycle first follows the wall clock: a jump since the last cycle (or since the list
    // file was read) moves every first-seen date with it, so an item goes only once the server
    // has seen it lie in the trash for the period; a first-seen date later than now becomes
    // now. Each jump is logged once, the dates made now once a cycle with their count. Time
    // that passed while no server ran is measured by the wall clock alone.
    void processTrash();
    // A purge cycle outside the timer's schedule (which stays as it is): `done` gets, on the
    // loop's thread, what a cycle that started after this call deleted and could not delete;
    // it starts now, or when the running one ends. Items first seen in it are not due, as in
    // every cycle. A `done` still waiting when the server goes is dropped unanswered.
    void purgeNow(std::function<void(const CycleReport &)> done);
    bool cycleRuns() const { return cycle_ != nullptr; }
    // Keeps items past their due date until `until`: the records of `items` (trash folder, item
    // name), of every item named one of `names` in any folder, and, with `dueWithin` (seconds),
    // of every item due within it under the settings (TrashFolder::dueNames). The trash list
    // file is saved. `done` gets how many records were set, on the loop's thread: now, or once
    // the running cycle has ended.
    struct KeepRequest {
        std::vector<ItemKey> items;
        std::vector<std::string> names;
        std::optional<double> dueWithin;
        CalendarDate until;
    };
    void keep(KeepRequest request, std::function<void(size_t count)> done);
    // Rereads the settings from storage.
    void updatePreferences();

    // The remote-control calls: the compiled-in version, and a request to quit (SIGTERM to
    // this process, so it takes the signal's path through the shutdown).
    std::optional<std::string> versionString() const;
    void quit();
    // When the timer's next cycle runs, on the wall clock; nullopt while no timer runs.
    std::optional<CalendarDate> nextCycleDate() const;

    // The interval between two cycles, in seconds (its given name).
    double resolution() const { return resolution_; }
    void setResolution(double seconds) { resolution_ = seconds; }
    // Not while a cycle runs (see the top of this file).
    const std::shared_ptr<Trash> &trash() const { return trash_; }
    void setTrash(std::shared_ptr<Trash> trash) { trash_ = std::move(trash); }
    const std::shared_ptr<Preferences> &preferences() const { return preferences_; }
    void setPreferences(std::shared_ptr<Preferences> preferences) { preferences_ = std::move(preferences); }
    const RepeatingTimer *currentTimer() const { return currentTimer_.get(); }

 private:
    // Follows the wall clock before a cycle (see processTrash); on the loop's thread.
    void followClock();

    RunLoop &loop_;
    double resolution_ = 900.0;
    std::unique_ptr<RepeatingTimer> currentTimer_;
    std::shared_ptr<Trash> trash_;
    std::shared_ptr<Preferences> preferences_;
    DistributedNotificationCenter::ObserverId observer_ = 0;
    std::optional<std::pair<int, int>> reportedBadSettings_;
    bool reportedUnknownSecure_ = false;

    // The request for a cycle starting now, from the settings (logs settings it cannot use).
    PurgeRequest purgeRequest();
    // Starts a cycle; none runs.
    void startCycle();
    // Takes the end of the cycle, when it has ended: notice, answers, and the cycle asked for
    // meanwhile (unless `again` is false).
    void finishCycle(bool again = true);
    // Waits for a running cycle as stop() says; false when it was given up on.
    bool settleCycle();

    std::shared_ptr<QuitFlag> quitting_;
    std::unique_ptr<BackgroundWork> cycle_;  // the running cycle, which holds trash_
    bool cycleNotifies_ = false;
    std::vector<std::function<void(const CycleReport &)>> answering_;  // by the running cycle
    std::vector<std::function<void(const CycleReport &)>> waiting_;    // by the next one
    ClockReading lastClock_;  // at the last cycle, or when the list file was read
    std::vector<std::function<void()>> deferred_;  // keeps asked for while the cycle ran
    std::unique_ptr<PurgeWarnings> warnings_;
    LoopWakeup cycleEnded_;  // last: its handler uses the members above
};

}  // namespace quillon
