// What the settings panel shows and does, without any toolkit: the main switch that turns
// automatic emptying on or off for good (the server's user unit), the period as a unit and a
// count (choices exactly those Preferences offers, the counts following the unit), the secure
// and notice switches, the space limits and the minimum age, a switch per volume, the server's state with its start/stop title, the next cycle's preview
// (a heading and the due items) and the purge-now action, which the view confirms with the
// model's question first. Every change is applied at once (synchronize); the model follows
// "preferences changed", "server launched" and "server will terminate" and tells its view
// through `changed`. Bus events arrive while the session bus is processed (the view does that).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/notification_center.h"
#include "client/server_client.h"
#include "client/trash_volumes.h"
#include "preferences/preferences.h"

namespace quillon {

// One item the next cycle deletes, as the preview's list shows it.
struct DueRow {
    std::string name;      // in the escaped form of escapedText
    std::string size;      // "4.5 KiB", or that it is not known
    std::string when;      // the next cycle's date, or that it goes at the next cycle run
    std::string location;  // where the item was trashed from (escaped); empty when not known
};

// One volume that holds a trash folder of the user's, as the volumes list shows it.
struct VolumeRow {
    std::string mountPoint;  // escaped; empty where no mount holds it
    std::string trash;       // the trash folder (escaped); empty when its volume did not answer
    std::string facts;       // "3 items, 4.5 MiB, 20 GiB free", or that the volume does not answer
    std::string id;          // the volume's id; empty where none is known: nothing to switch
    bool purged = true;      // its switch: purged by the rules, or left alone
};

// One entry of the deletion history, as the "Recently deleted" list shows it.
struct DeletedRow {
    std::string what;  // where the item came from (escaped), its name, or "(secure: 3 items)"
    std::string size;
    std::string when;  // the local date and why it went
};

class PanelModel {
 public:
    // With `dueWithinADay`, the due list holds what is due within the next day (the batch the
    // server's warning before a large purge names), not only the next cycle's.
    explicit PanelModel(std::function<void()> changed, bool dueWithinADay = false);
    ~PanelModel();
    PanelModel(const PanelModel &) = delete;
    PanelModel &operator=(const PanelModel &) = delete;

    // The main switch: on when the server's unit starts at login (off where no user manager
    // answers), with a line that says what that means or why the last choice failed.
    bool automatic() const { return automatic_; }
    const std::string &automaticNote() const { return switchFailure_.empty() ? automaticNote_ : switchFailure_; }

    std::vector<std::string> unitNames() const { return shown_.periodList(); }
    std::vector<std::string> counts() const { return shown_.unitsList(); }
    int unit() const { return shown_.period; }
    int countIndex() const { return shown_.units; }
    // What the last change of unit did to the count, when it pulled it into the unit's range
    // ("12 is more than days allow: ..."); empty otherwise.
    const std::string &periodNote() const { return periodNote_; }
    bool secure() const { return shown_.secure; }
    bool notifying() const { return shown_.notifying; }
    // The space limits, in percent of a volume (0: off), and the minimum age in seconds.
    int trashLimit() const { return shown_.trashLimit; }
    int keepFree() const { return shown_.keepFree; }
    int64_t minimumAge() const { return shown_.minimumAge; }
    bool running() const { return shown_.running; }
    std::string startStopTitle() const { return shown_.startStopTitle(); }
    // "Running, version 1.0.0", "Running, busy", "Not running" (translated).
    const std::string &state() const { return state_; }
    // The next cycle: when, how many items go and the space freed, volumes that do not
    // answer; or why nothing is known.
    const std::string &preview() const { return preview_; }
    // What the next cycle deletes, item by item (or what is due within a day).
    const std::vector<DueRow> &dueRows() const { return dueRows_; }
    bool dueWithinADay() const { return dueWithinADay_; }
    // Each volume with a trash of the user's and the choice for it, read with the server's
    // state; the home trash first.
    const std::vector<VolumeRow> &volumeRows() const { return volumeRows_; }
    // The newest kDeletedRows entries of the deletion history, newest first; read with the
    // server's state.
    static constexpr size_t kDeletedRows = 50;
    const std::vector<DeletedRow> &deletedRows() const { return deletedRows_; }
    // What the last purge-now did (each item that stays with why), or that one is under way;
    // empty before the first, and again once the state changes (refresh, a choice, start or
    // stop): an old result must not pass for the present.
    const std::string &purgeOutcome() const { return purgeOutcome_; }
    bool purging() const { return purging_; }
    // Whether purge-now may be offered: the server runs, no purge is under way, something is due,
    // and the list is the next cycle's (a purge now would not take what is due only tomorrow).
    bool canPurge() const { return running() && !purging_ && !dueRows_.empty() && !dueWithinADay_; }
    // The question to ask before purgeNow, naming the count and the space ("Delete 3 items
    // for good?"), and the line under it.
    std::string confirmationQuestion() const;
    std::string confirmationDetail() const;

    // Each applies and saves the change at once; a value outside the choices is ignored.
    void chooseUnit(int unit);
    void chooseCount(int index);
    void chooseSecure(bool on);
    void chooseNotifying(bool on);
    // Percentages from 0 (off) to 100, and a minimum age of 0 seconds or more.
    void chooseTrashLimit(int percent);
    void chooseKeepFree(int percent);
    void chooseMinimumAge(int64_t seconds);
    void startOrStop();
    // Purges the trash on the volume of row `row` by the rules, or leaves it alone (stored by
    // the volume's id, so it follows the volume); ignored for a row without an id.
    void setVolumePurged(size_t row, bool on);
    // Enables and starts, or disables and stops, the server's unit.
    void chooseAutomatic(bool on);
    // Asks the running server to keep the item of the due row `row` (its name, in every trash
    // folder) a week past its due date, as quillon-settings keep does, then refreshes. False
    // when the server did not keep it (not running, busy, or no such row).
    bool keepForAWeek(size_t row);
    // Asks the server to delete what is due; does nothing unless canPurge(). Ask first.
    void purgeNow();

    // Reads the settings and asks the server's state and preview again.
    void refresh();

 private:
    // After a change: pulls the count into the unit's range and saves both.
    void apply();
    void show(const PreferencesSnapshot &values);
    void readServer();
    void readPreview(ServerState state);
    void showVolumes(const std::vector<TrashVolume> &volumes);
    void readDeleted();
    void stateChanged();

    std::function<void()> changed_;
    std::shared_ptr<Preferences> preferences_;  // written only by the choices
    // What is shown: the working copy, its count pulled into the unit's range for the choices.
    PreferencesSnapshot shown_;
    std::vector<DistributedNotificationCenter::ObserverId> observers_;
    std::string periodNote_;
    std::vector<DueRow> dueRows_;
    std::vector<DeletedRow> deletedRows_;
    std::vector<VolumeRow> volumeRows_;
    const bool dueWithinADay_;
    uint64_t dueBytes_ = 0;
    bool dueSizeUnknown_ = false;
    std::string state_, preview_, purgeOutcome_, automaticNote_, switchFailure_;
    bool automatic_ = false;
    bool purging_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quillon
