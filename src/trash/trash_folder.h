// TrashFolder: one trash folder of the user and the records of the items seen in it.
//
// Once a cycle, processTrash scans the folder's top level (records carried over by name with
// their first-seen dates, new items dated now, vanished ones forgotten), deletes every item
// first seen strictly before the cut-off date, and says whether the record list changed.
// The record list may be absent (not merely empty): a folder made from a path has none until
// its first scan.
//
// Records are carried over only for the same file: an entry whose inode number or stamp
// (birth or change time, trash_file.h) differs from its record's is a new item, and a folder whose identity (file system and folder) changed, a
// different volume mounted at the same place, starts afresh.
//
// In processTrash the file work (listing, deletions, bookkeeping) runs patiently on a thread
// of its own (fs/blocking_work.h) while the records stay with the caller's thread: a
// folder on a volume that stopped answering keeps its records but those of the items its
// work had deleted by then, is skipped until it answers, and is logged once when it stalls
// and once when it answers again.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/calendar_date.h"
#include "fs/directory_listing.h"
#include "plist/plist.h"
#include "trash/deletion_history.h"
#include "trash/object_lists.h"
#include "trash/trash_bookkeeping.h"
#include "trash/trash_file.h"

namespace quillon {

// The space limits of a cycle (preferences "trashLimit", "keepFree", "minimumAge").
struct SpaceLimits {
    int trashLimit = 0;          // percent of its volume a trash folder may hold; 0: no limit
    int keepFree = 0;            // percent of the volume to keep free; 0: none
    int64_t minimumAge = 86400;  // seconds: an item first seen less long ago never goes for a limit
    bool on() const { return trashLimit > 0 || keepFree > 0; }
};
// A volume's size and free space, in bytes, as fstatvfs gives them to the user.
struct VolumeSpace {
    uint64_t size = 0;
    uint64_t free = 0;
};
// A record as the limits weigh it: its name, first-seen date and measured bytes (0 when unknown),
// and whether the user keeps it past now (TrashFile::keepUntil): it counts, but never goes.
struct SizedItem {
    const std::string *name;
    CalendarDate date;
    uint64_t size;
    bool kept = false;
};
// Why a folder's items went for the limits: bits of kOverLimit and kTooLittleFree.
enum LimitReason : unsigned { kOverLimit = 1, kTooLittleFree = 2 };
// What the limits take of one folder: the names that go, in order, why (LimitReason bits, 0:
// the folder is within them), and the bytes they still wanted that only items younger than
// the minimum age could have given.
struct LimitChoice {
    std::vector<std::string> names;
    unsigned reasons = 0;
    uint64_t unfreed = 0;
};
// The selection (policy/space_limits.h), given to the trash from above.
using LimitChooser = LimitChoice (*)(std::vector<SizedItem> items, const VolumeSpace &volume,
                                     const SpaceLimits &limits, const CalendarDate &now);

// What one purge cycle asks of every folder.
struct PurgeRequest {
    CalendarDate date;     // the cut-off: items first seen strictly before it go
    bool secure;           // overwrite before removing
    bool measure = false;  // count the space each deleted item took
    // The deletion history's reason for what this purge deletes (kWhyAge, kWhyPurgeNow; a
    // size limit's purge passes kWhyLimit), and whether it names securely deleted items.
    const char *why = kWhyAge;
    bool historyNames = false;
    // Volumes the user leaves alone (volumeId, trash_locations.h): their trash is not looked
    // at, and the registry forgets it.
    std::set<std::string> leftAlone = {};
    // When `limits` are on and a chooser is given, after the cut-off's deletions each folder
    // measures what it lacks of its records' sizes and its volume's space, and deletes what
    // `chooser` names, the same way.
    SpaceLimits limits{};
    LimitChooser chooser = nullptr;
    bool limited() const { return limits.on() && chooser; }
    // When set, also find (and measure) the items due at warnDate, under its cut-off
    // warnCutoff, for the warning before a large purge (CycleReport::dueSoon).
    std::optional<CalendarDate> warnDate = std::nullopt, warnCutoff = std::nullopt;
};

using FileList = SharedList<TrashFile>;

// The environment's now, in nanoseconds since 1970, as scanFolder takes it.
int64_t wallNanoseconds();

// What one cycle deleted and could not delete: full paths of items, in the order met.
struct CycleReport {
    std::vector<std::string> deleted;
    std::vector<std::string> failed;
    std::vector<std::string> reasons;  // why each of `failed` stays, in its order
    // Per trash folder that lost items: its path, how many went and, when measured, their bytes.
    struct Freed {
        std::string folder;
        size_t items = 0;
        uint64_t bytes = 0;
    };
    std::vector<Freed> freed;
    // What went, as the deletion history keeps it (trash/deletion_history.h): per item, or for
    // a secure purge without names one entry per folder; bytes only when measured.
    std::vector<HistoryEntry> gone;
    // Per trash folder the space limits weighed on: its path, why items went (LimitReason bits),
    // the limits' percentages, how many went, and what the minimum age kept them from freeing.
    struct Limited {
        std::string folder;
        unsigned reasons = 0;
        int trashLimit = 0, keepFree = 0;
        size_t items = 0;
        uint64_t unfreed = 0;
    };
    std::vector<Limited> limited;
    // When the request asked: the items due at its warnDate that are still in the trash after
    // the cycle, per folder in list order, with their bytes (0 where not known). Empty for a
    // folder whose volume did not answer.
    struct Due {
        std::string folder, name;
        uint64_t bytes = 0;
    };
    std::vector<Due> dueSoon;
};

class TrashFolder {
 public:
    static std::shared_ptr<TrashFolder> folderWithPath(const std::string &path);
    // A folder from a folder dictionary {"path": string, "files": [item dictionaries],
    // "volume": string (its identity, ignored by older readers)}. It
    // always gets a record list: empty without "files"; item dictionaries that make no record
    // are skipped. Null when `attributes` is not a dictionary, has no string "path", or has a
    // "files" that is not an array.
    static std::shared_ptr<TrashFolder> folderWithAttributes(const PlistValue &attributes);

    explicit TrashFolder(std::string path) : path_(std::move(path)) {}

    // The folder dictionary; an absent record list is written as an empty array. Without
    // records, kFilesKey holds an empty array: for a writer that writes them one at a time.
    PlistValue attributes(bool withRecords = true) const;
    // The key of the folder dictionary that holds the item dictionaries.
    static constexpr char kFilesKey[] = "files";

    const std::string &path() const { return path_; }
    void setPath(const std::string &path) { path_ = path; }
    const std::shared_ptr<FileList> &files() const { return files_; }
    // Takes the list itself, shared, not a copy.
    void setFiles(std::shared_ptr<FileList> files) { files_ = std::move(files); }

    // The first record in list order named exactly `name`; null if none or no list.
    std::shared_ptr<TrashFile> trashFileWithPath(const std::string &name) const;

    // The scan: the record list becomes one record per top-level entry of `entries` (a
    // listing of the folder, whose identity was then `identity`, empty: unknown) whose name does
    // not begin with "." (the same record object for a name already known as the same file).
    // Folders in the trash are single items and never entered; links are never followed.
    void updateFiles(const std::vector<PinnedFolder::Entry> &entries, const std::string &identity);
    // Deletes every item whose record is dated strictly before `cutoff` (patiently, as
    // processTrash does) and drops the records of those that went. Records without a date are
    // kept.
    void purgeFilesOlderThan(const CalendarDate &cutoff, bool securely);
    // Scan, then purge, then remove the info files left alone since the last cycle and an hour
    // old (TrashBookkeeping::removeOrphans), then, with the space limits on, delete what they
    // choose (applyLimits); a size measured then also makes the list file due. True when the record list differs (by names and
    // order) from the one before, or a record got its missing date, its file number or its
    // stamp: the trash list file must be written.
    bool processTrash(const PurgeRequest &request);
    // processTrash, noting in `report` what the cycle deleted and could not delete. These two
    // open the folder by its path (see PinnedFolder(path)); a cycle uses the next one.
    bool processTrash(const PurgeRequest &request, CycleReport &report);
    // Moves every first-seen date by `interval` (the wall clock's jump), so the ages stay what
    // the server observed; keep-until dates move alike. Records without a date stay without.
    // True when a first-seen date moved.
    bool moveTrashDates(std::chrono::nanoseconds interval);
    // Makes every first-seen date later than `now` now: an item is never taken for younger
    // than new. How many were.
    size_t clampTrashDates(const CalendarDate &now);
    // processTrash on `folder`, the open folder a look-up of this cycle found (path() only
    // names it), with its listing when the look-up made it already (then no scan is made here).
    bool processTrash(const PurgeRequest &request, CycleReport &report, std::shared_ptr<PinnedFolder> folder,
                      const FolderListing *listing = nullptr);
    const std::string &identity() const { return identity_; }
    void setIdentity(const std::string &identity) { identity_ = identity; }
    // The folder's change time at the last scan, when it had settled by then (scanFolder):
    // the next scan of an unchanged folder needs no stamps. Not kept across restarts.
    int64_t settled() const { return settled_; }

    // The one rule of what is due: the names of the records first seen strictly before
    // `cutoff` and not kept past `at` (a keep-until date later than `at`), in list order.
    // Records without a date are never due.
    std::vector<std::string> dueNames(const CalendarDate &cutoff, const CalendarDate &at) const;
    // Sets the keep-until date `until` on the records named `names` (each once, the first of
    // its name). How many records it set.
    size_t keepNames(const std::vector<std::string> &names, const CalendarDate &until);

    // "TrashFolder = {path = PATH,files = {RECORD,RECORD,}}" on one line.
    std::string description() const;
    size_t hash() const;
    bool isEqualToFolder(const TrashFolder &other) const;
    friend bool operator==(const TrashFolder &a, const TrashFolder &b) { return a.isEqualToFolder(b); }

 private:
    struct PurgeOutcome;
    // Notes in `report` the items due at the request's warnDate with their sizes: those the
    // records keep, else measured on `folder` and then kept. True when a record gained a size.
    bool noteDueSoon(const PurgeRequest &request, CycleReport &report, std::shared_ptr<PinnedFolder> folder);
    // The file work of a purge, run patiently: removes the items `due` of `folder` (opened by
    // path when null) with their bookkeeping, and, when `sweep`, the orphans found last time
    // (TrashBookkeeping::removeOrphans). Reads the records of no item; reads the info file of
    // each item before it goes when the history may name it.
    PurgeOutcome purge(std::shared_ptr<PinnedFolder> folder, const std::vector<std::string> &due,
                       const PurgeRequest &request, bool sweep);
    // Notes `outcome` in `report` and in the folder: the records of what went are dropped and
    // the orphans it found kept for the next sweep. True when records went.
    bool apply(const PurgeOutcome &outcome, const PurgeRequest &request, CycleReport &report);
    // The space limits' step after the cut-off's deletions (PurgeRequest::limits): measures
    // the records still without a size and the volume of `folder` (patiently), then deletes
    // what request.chooser names through purge and apply. True when records changed.
    bool applyLimits(const std::shared_ptr<PinnedFolder> &folder, const PurgeRequest &request, CycleReport &report);
    // Drops the records of `deleted` items.
    void dropRecords(const std::set<std::string> &deleted);
    void noteAnswer(bool answered);

    std::string path_;
    std::string identity_;
    int64_t settled_ = 0;
    std::shared_ptr<FileList> files_;
    bool changedRecords_ = false;  // the last scan dated or identified a record
    // Set while file work of this folder runs; still set at the next cycle if it never ended.
    std::shared_ptr<std::atomic<bool>> busy_ = std::make_shared<std::atomic<bool>>(false);
    bool stalled_ = false;
    bool sweptOnce_ = false;            // the info folder was looked at since the server started
    std::set<std::string> orphans_;     // info files found alone at the last look
};

}  // namespace quillon
