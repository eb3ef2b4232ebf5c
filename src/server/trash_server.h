// TrashServer: the server object. It owns the trash registry and the current preferences,
// runs the repeating purge timer, and at each firing turns the settings into a cut-off date
// and hands it, with the secure flag, to the registry. It follows "preferences changed" by
// rereading the settings; the timer keeps its schedule and the next cycle uses them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/calendar_date.h"
#include "platform/notification_center.h"
#include "platform/repeating_timer.h"
#include "preferences/preferences.h"
#include "trash/trash.h"

namespace quillon {

class RunLoop;

class TrashServer {
 public:
    // The trash list file: "local.vantor.quillon.list.plist" in the preferences folder.
    static std::string listFilePath();

    // Reads the trash list file from the preferences folder, loads the settings and starts
    // observing "preferences changed". The interval is 900 s; no timer runs yet.
    explicit TrashServer(RunLoop &loop);
    // Stops observing, stops, then lets go of the registry (which saves what is unsaved) and
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
    // Logs "Stopping Quillon server %s", ends the timer and saves the registry, unless no
    // timer runs.
    void stop();
    // One purge cycle.
    void processTrash();
    // One purge cycle now, outside the timer's schedule (which stays as it is), and what it
    // deleted and could not delete. Items first seen in it are not due, as in every cycle.
    CycleReport purgeNow();
    // Rereads the settings from storage.
    void updatePreferences();

    // The remote-control calls: the compiled-in version, and a request to quit (SIGTERM to
    // this process, so it takes the signal's path through the shutdown).
    std::optional<std::string> versionString() const;
    void quit();
    // When the timer's next cycle runs, on the wall clock; nullopt while no timer runs.
    std::optional<CalendarDate> nextCycleDate() const;

    double resolution() const { return resolution_; }
    void setResolution(double seconds) { resolution_ = seconds; }
    const std::shared_ptr<Trash> &trash() const { return trash_; }
    void setTrash(std::shared_ptr<Trash> trash) { trash_ = std::move(trash); }
    const std::shared_ptr<Preferences> &preferences() const { return preferences_; }
    void setPreferences(std::shared_ptr<Preferences> preferences) { preferences_ = std::move(preferences); }
    const RepeatingTimer *currentTimer() const { return currentTimer_.get(); }

    // The cut-off date for a cycle at `now`: `units` + 1 hours, days, weeks or months before
    // it as `period` is 0, 1, 2 or 3. Nullopt for settings that name no period (a unit index
    // outside 0 to 3, a negative count index): such a cycle must purge nothing.
    static std::optional<CalendarDate> cutoffDate(const CalendarDate &now, int period, int units);
    // The first moment at which an item first seen at `firstSeen` is due: the first moment
    // whose cutoffDate lies after it (about one period later; earlier at a month's end, when
    // the cut-off of a day that the month before lacks falls at that month's end). Nullopt for
    // the same settings as above.
    static std::optional<CalendarDate> dueDate(const CalendarDate &firstSeen, int period, int units);

 private:
    RunLoop &loop_;
    double resolution_ = 900.0;
    std::unique_ptr<RepeatingTimer> currentTimer_;
    std::shared_ptr<Trash> trash_;
    std::shared_ptr<Preferences> preferences_;
    DistributedNotificationCenter::ObserverId observer_ = 0;
    std::optional<std::pair<int, int>> reportedBadSettings_;
    bool reportedUnknownSecure_ = false;
};

}  // namespace quillon
