// Preferences: the user's settings in the defaults domain "local.vantor.quillon".
//
// An object loads a working copy of the domain when it is made and never reloads it; reads
// fall back to the registered defaults; writes collect in the working copy until synchronize
// writes the whole copy back and posts "preferences changed", or the object goes and writes
// what its setters left unsaved. Reading (a snapshot, the lists) never changes the working
// copy, so an object only read writes nothing. The keys "enabled" and "unitsList" are dropped on loading; every
// other stored key is kept and written back.
//
// Observers registered for a key are told when its setter is called, and so are observers of
// the key derived from it: "periodList" follows "units", "unitsList" follows "period" and
// "startStopTitle" follows "running".
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "plist/plist.h"

namespace quillon {

// What the settings held when they were read: a value, so a reader that keeps or passes it on
// can never write. The count index is as stored, which may lie beyond its unit's range.
struct PreferencesSnapshot {
    int period = 1;  // unit index: 0 hours, 1 days, 2 weeks, 3 months
    int units = 3;   // count index: the number of periods minus one
    bool secure = false;
    bool secureKnown = true;
    bool notifying = true;
    bool running = false;  // never stored: what the reader last learnt of the server
    // The volumes the user leaves alone ("volumes" entries set false), by volume id.
    std::set<std::string> leftAlone;
    int trashLimit = 0;            // percent of its volume a trash folder may hold; 0: no limit
    int keepFree = 0;              // percent of each volume to keep free; 0: none
    int64_t minimumAge = 86400;    // seconds an item stays at least, whatever the limits
    uint64_t warnItems = 100;       // see Preferences::warnItems
    uint64_t warnBytes = 1ull << 30;

    // The counts offered for the unit, "1" up to its largest; empty for a unit index outside
    // 0 to 3.
    std::vector<std::string> unitsList() const;
    // The count index pulled back to the unit's largest count when it lies beyond it.
    int unitsInRange() const;
    // The four unit names, translated: singular when the count index is 0, plural otherwise.
    std::vector<std::string> periodList() const;
    // Translated "Stop" while running, "Start" otherwise.
    std::string startStopTitle() const;
};

class Preferences {
 public:
    static constexpr char kDomainName[] = "local.vantor.quillon";
    static constexpr char kPreferencesChanged[] = "preferences changed";

    // A new object with a freshly loaded working copy.
    static std::shared_ptr<Preferences> preferences();
    // What the settings hold, read through a working copy that is then dropped unwritten.
    static PreferencesSnapshot read();

    Preferences();
    // Writes and announces what the setters left unsaved.
    ~Preferences();
    Preferences(const Preferences &) = delete;
    Preferences &operator=(const Preferences &) = delete;

    // When something is unsaved: writes the working copy as the whole domain and posts
    // "preferences changed". True when nothing is left unsaved; false (logged) when the write
    // failed, in which case nothing is posted and the change stays unsaved.
    bool synchronize();
    bool changes() const { return changes_; }
    PreferencesSnapshot snapshot() const;

    // The working copy's value, else the registered default, else nullopt.
    std::optional<PlistValue> preferenceForKey(const std::string &key) const;
    // Stores `value` in the working copy (nullopt removes the key). Does not set changes.
    void setPreference(const std::optional<PlistValue> &value, const std::string &key);

    bool isRunning() const { return running_; }
    void setRunning(bool running);

    // Typed values; a stored value of the wrong type reads as the key's default. Setters store
    // only a value that differs from the current one, and then set changes.
    int period() const;  // unit index: 0 hours, 1 days, 2 weeks, 3 months
    void setPeriod(int period);
    int units() const;  // count index: the number of periods minus one
    void setUnits(int units);
    bool isSecure() const;
    void setSecure(bool secure);
    // False when the user's wish for secure deletion is not known: the settings file exists
    // but could not be read, or its "secure" value could not (malformed, or not a boolean).
    // Deleting plainly could then go against that wish.
    bool isSecureKnown() const;
    // Whether a desktop notice tells of each cycle that deleted something ("notify", on
    // unless set off; older readers keep the key as one they do not know).
    bool isNotifying() const;
    void setNotifying(bool notifying);
    // Whether the deletion history names securely deleted items ("historyNames", off): by
    // default it keeps only their count and size (trash/deletion_history.h).
    bool historyNames() const;
    void setHistoryNames(bool names);
    // Per volume (its id, trash/trash_locations.h volumeId), whether its trash is purged by the
    // rules: "volumes" is a dictionary of booleans, an absent entry (or one not a boolean)
    // purges; false leaves the volume alone. Setting one back on removes its entry.
    std::set<std::string> leftAloneVolumes() const;
    void setVolumePurged(const std::string &volume, bool purged);
    // The space limits ("trashLimit", "keepFree": percent of the volume, 0 = off, read
    // within 0 to 100) and the time every item stays whatever they ask ("minimumAge":
    // seconds, a day unless set; read as 0 when negative). Older readers keep them as keys
    // they do not know.
    int trashLimit() const;
    void setTrashLimit(int percent);
    int keepFree() const;
    void setKeepFree(int percent);
    int64_t minimumAge() const;
    void setMinimumAge(int64_t seconds);
    // The warning before a large purge: a notice once the items due within a day come to
    // more than "warnItems" items or "warnBytes" bytes (defaults 100 and 1 GiB); 0 turns that
    // measure off, both 0 the warning. A negative stored value reads as 0.
    uint64_t warnItems() const;
    void setWarnItems(uint64_t items);
    uint64_t warnBytes() const;
    void setWarnBytes(uint64_t bytes);
    int securityLevel() const;
    void setSecurityLevel(int level);
    unsigned long prefPaneInode() const;
    void setPrefPaneInode(unsigned long inode);

    // A writer's step after a change of unit: a count index beyond the unit's largest count
    // is set back to it (a change). Nothing for a unit index outside 0 to 3.
    void pullCountIntoRange();
    // As the snapshot gives them, from the working copy.
    std::vector<std::string> unitsList() const { return snapshot().unitsList(); }
    std::vector<std::string> periodList() const { return snapshot().periodList(); }
    std::string startStopTitle() const { return snapshot().startStopTitle(); }

    // Largest count offered for a unit index, or 0 outside 0 to 3.
    static int largestCount(int period);
    // The untranslated name of a unit index in 0 to 3 ("Hour", "Hours", ...), the key of its
    // translation.
    static const char *unitKey(int period, bool singular);
    // The unit index `period` in 0 to 3 as sentences name it, translated: "day" or "days".
    static std::string unitWord(int period, bool plural);
    // What tells that the count `wanted` was pulled back to the largest of the unit index
    // `period`: "12 is more than days allow: the count is now 7 days", translated.
    static std::string pulledCountText(int wanted, int period);

    using ObserverId = int;
    ObserverId addObserver(const std::string &key, std::function<void(const std::string &key)> callback);
    void removeObserver(ObserverId id);

 private:
    // The stored value, or the registered default when the key is absent or holds a value of
    // another type than the default's.
    const PlistValue &valueFor(const char *key) const;
    int64_t numberFor(const char *key) const;
    int integerFor(const char *key) const;
    // Stores `value` when it `differs` from the current one; tells the observers either way.
    void store(const char *key, PlistValue value, bool differs);
    void didChange(const std::string &key);

    bool running_ = false;
    bool changes_ = false;
    bool damaged_ = false;           // the settings file exists but could not be read
    bool secureUnreadable_ = false;  // its "secure" value could not
    PlistDictionary persistentPrefs_;
    std::map<ObserverId, std::pair<std::string, std::function<void(const std::string &)>>> observers_;
    ObserverId nextObserver_ = 1;
};

}  // namespace quillon
