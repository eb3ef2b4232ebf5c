// TrashFolder: one trash folder of the user and the records of the items seen in it.
//
// Once a cycle, processTrash scans the folder's top level (records carried over by name with
// their first-seen dates, new items dated now, vanished ones forgotten), deletes every item
// first seen strictly before the cut-off date, and says whether the record list changed.
// The record list may be absent (not merely empty): a folder made from a path has none until
// its first scan.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/calendar_date.h"
#include "platform/directory_listing.h"
#include "platform/plist.h"
#include "trash/object_lists.h"
#include "trash/trash_file.h"

namespace quillon {

// What one purge cycle asks of every folder.
struct PurgeRequest {
    CalendarDate date;  // the cut-off: items first seen strictly before it go
    bool secure;        // overwrite before removing
};

using FileList = SharedList<TrashFile>;

class TrashFolder {
 public:
    static std::shared_ptr<TrashFolder> folderWithPath(const std::string &path);
    // A folder from a folder dictionary {"path": string, "files": [item dictionaries]}. It
    // always gets a record list: empty without "files"; item dictionaries that make no record
    // are skipped. Null when `attributes` is not a dictionary, has no string "path", or has a
    // "files" that is not an array.
    static std::shared_ptr<TrashFolder> folderWithAttributes(const PlistValue &attributes);

    explicit TrashFolder(std::string path) : path_(std::move(path)) {}

    // The folder dictionary; an absent record list is written as an empty array.
    PlistValue attributes() const;

    const std::string &path() const { return path_; }
    void setPath(const std::string &path) { path_ = path; }
    const std::shared_ptr<FileList> &files() const { return files_; }
    // Takes the list itself, shared, not a copy.
    void setFiles(std::shared_ptr<FileList> files) { files_ = std::move(files); }

    // The first record in list order named exactly `name`; null if none or no list.
    std::shared_ptr<TrashFile> trashFileWithPath(const std::string &name) const;

    // The scan: the record list becomes one record per top-level entry whose name does not
    // begin with "." (the same record object for a name already known). Folders in the trash
    // are single items and never entered; links are never followed. A folder that cannot be
    // listed scans as empty.
    void updateFiles();
    // Removes one item (and its trash bookkeeping); logs "could not delete: %s" or "could not
    // securely delete: %s" with the item's full path on failure. Leaves the list alone.
    bool deleteFile(const TrashFile &file, bool securely);
    // Deletes every item whose record is dated strictly before `cutoff` and drops the records
    // of those that went. Records without a date are kept.
    void purgeFilesOlderThan(const CalendarDate &cutoff, bool securely);
    // Scan, then purge. True when the record list differs (by names and order) from the one
    // before, or a record got its missing date: the trash list file must be written.
    bool processTrash(const PurgeRequest &request);

    // "TrashFolder = {path = PATH,files = {RECORD,RECORD,}}" on one line.
    std::string description() const;
    size_t hash() const;
    bool isEqualToFolder(const TrashFolder &other) const;
    friend bool operator==(const TrashFolder &a, const TrashFolder &b) { return a.isEqualToFolder(b); }

 private:
    std::string path_;
    std::shared_ptr<FileList> files_;
    bool datedRecords_ = false;  // the last scan dated a record that had no date
    // The folder held open through one cycle, so the scan and the deletions see the same one.
    const PinnedFolder *pinned_ = nullptr;
};

}  // namespace quillon
