// Trash: the registry of the user's trash folders, and its memory between runs in the trash
// list file.
//
// Each cycle the registry finds the trash folders afresh, keeps the folder object (and so the
// first-seen dates) of every folder it already knew, lets each folder scan and purge itself,
// and writes the trash list file when anything changed. unsavedChanges is true while memory
// holds something the file does not; every write is whole and atomic.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <set>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "trash/deletion_history.h"
#include "trash/object_lists.h"
#include "trash/trash_folder.h"

namespace quillon {

using FolderList = SharedList<TrashFolder>;

class Trash {
 public:
    // A registry read from the trash list file at `path`. Always a registry: with no file
    // (or a directory there) it has an empty list and unsaved changes; with a file that cannot
    // be read it has no list and unsaved changes, so the next save replaces the file.
    static std::shared_ptr<Trash> trashFromFile(const std::string &path);

    Trash() = default;  // no list, no file path, unsaved changes
    // Writes the unsaved state one last time (to the file path, if there is one).
    ~Trash();
    Trash(const Trash &) = delete;
    Trash &operator=(const Trash &) = delete;

    // "Trash = {filePath = PATH,folders = {FOLDER,FOLDER,}}" on one line.
    std::string description() const;
    size_t hash() const;
    // False unless both have a file path, the same one, and equal folder lists.
    bool isEqualToTrash(const Trash &other) const;
    friend bool operator==(const Trash &a, const Trash &b) { return a.isEqualToTrash(b); }

    // The first folder in list order with exactly this path; null if none or no list.
    std::shared_ptr<TrashFolder> trashFolderWithPath(const std::string &path) const;
    // Rebuilds the folder list from the volumes, carrying known folders over as the same
    // objects. True when the list differs from before (always when there was no list).
    // The home trash is looked up patiently on a thread of its own (fs/blocking_work.h);
    // every other volume's trash is looked up and listed in a child that can be abandoned
    // (fs/child_work.h), all at once. A volume that does not answer keeps the folders it
    // had, as they are, and they are left out of the cycle until it answers; it is logged once
    // when it stalls and once when it answers again. Each folder found is held open until the
    // cycle's end (processTrash): its scan, deletions and bookkeeping use that descriptor.
    // Deletions then run on a patient thread: a volume that answered the look-up and listing
    // but stalls during deletions can still hold a thread, the rare case, accepted.
    // A volume in `leftAlone` (see PurgeRequest) is not looked up; its folders, as ever those
    // of a volume without a trash, leave the list, records and all.
    bool updateLists(const std::set<std::string> &leftAlone = {});
    // One purge cycle over every folder, then save, then append what went to the deletion
    // history, when there is one (setHistoryPath), as patient work: while the history's volume
    // does not answer, what goes waits in memory for the next cycle's append (the newest
    // DeletionHistory::kMaxEntries of it). What the space limits could not free for the
    // minimum age is logged once, for all folders together.
    void processTrash(const PurgeRequest &request);
    void setHistoryPath(const std::string &path) { history_ = std::make_shared<DeletionHistory>(path); }
    // The first-seen dates of every folder's records, also of folders left out of cycles while
    // their volume does not answer: moved by `interval` (TrashFolder::moveTrashDates), or made
    // `now` where later (TrashFolder::clampTrashDates; the count returned). A changed date is
    // an unsaved change.
    void moveTrashDates(std::chrono::nanoseconds interval);
    size_t clampTrashDates(const CalendarDate &now);
    // What the last cycle deleted and could not delete.
    const CycleReport &lastCycle() const { return lastCycle_; }

    bool unsavedChanges() const { return unsavedChanges_; }
    void setUnsavedChanges(bool unsaved) { unsavedChanges_ = unsaved; }
    const std::optional<std::string> &filePath() const { return filePath_; }
    void setFilePath(const std::string &path) { filePath_ = path; }
    const std::shared_ptr<FolderList> &folders() const { return folders_; }
    // Takes the list itself, shared, not a copy.
    void setFolders(std::shared_ptr<FolderList> folders) { folders_ = std::move(folders); }

    // The trash list file (trash_list_file.cc).
    // saveToFile(filePath); false when there is no file path and something is unsaved.
    bool save();
    // Writes the registry to `path` when something is unsaved. True when nothing is unsaved
    // afterwards. On failure the old file stays and unsavedChanges stays true; an encoding
    // failure is logged ("NSPropertyListSerialization got error: %s"), a write failure once
    // when saves start failing, with its reason, and the first success after it.
    bool saveToFile(const std::string &path);
    bool load();
    // Replaces the folder list with the file's. Nothing (or a directory) at `path`: empty list,
    // unsaved changes, false. A file that cannot be read or decoded: logged
    // ("NSPropertyListSerialization received error: %s"), registry unchanged, false.
    bool loadFromFile(const std::string &path);

 private:
    std::shared_ptr<FolderList> folders_;
    std::optional<std::string> filePath_;
    bool unsavedChanges_ = true;
    bool saveFailing_ = false;  // the last save failed, and that was logged
    CycleReport lastCycle_;
    std::shared_ptr<DeletionHistory> history_;  // shared with its append, which may outlive a wait
    std::vector<HistoryEntry> unrecorded_;      // gone while the history's append still ran
    std::shared_ptr<std::atomic<bool>> recording_ = std::make_shared<std::atomic<bool>>(false);
    // Per mount point (the home trash's is ""): set while its look-up runs.
    std::map<std::string, std::shared_ptr<std::atomic<bool>>> lookups_;
    std::set<std::string> stalledVolumes_;
    std::map<std::string, std::shared_ptr<pid_t>> stuckLookups_;  // per mount point: its child given up on
    std::set<const TrashFolder *> skipped_;  // folders of stalled volumes, this cycle
    // The folders found this cycle, open, with the listing their look-up made.
    struct Opened {
        std::shared_ptr<PinnedFolder> folder;
        std::optional<FolderListing> listing;
    };
    std::map<const TrashFolder *, Opened> opened_;
};

}  // namespace quillon
