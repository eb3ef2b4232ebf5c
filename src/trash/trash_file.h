// TrashFile: the record of one item in one trash folder, its name and its first-seen date.
//
// A record is identified by its name alone: records with equal names are equal, whatever
// their dates, and hash alike. The first-seen date is absent only for a record read from a
// trash list file that lacked it; such a record has no age until a scan dates it.
//
// A record also remembers which file it is about, so that a different file later trashed
// under the same name is not taken for it: its inode number in the trash folder and a stamp
// of the file's own, its birth time where the file system keeps one, else its change time
// (PinnedFolder::Entry). The number alone does not do: a file deleted for good frees its
// inode, and ext4 gives it to the next new file at once. Stamps are compared only like with
// like. A change time also moves when the item itself changes (a chmod, a write, a deletion
// that failed half-way through a folder): the item is then taken for a new one and dated
// anew. That only puts its deletion off by a period, the safe direction; taking a new file
// for an old one would delete it early. Two files given one inode within one tick of the
// kernel's file clock (milliseconds) cannot be told apart.
// Number and stamp are absent for a record read from an older trash list file until a scan
// meets the item; a stamp of another kind than the item now shows (its file system began or
// stopped keeping birth times) is replaced, like an absent one, without dating the item anew.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/calendar_date.h"
#include "fs/directory_listing.h"
#include "plist/plist.h"

namespace quillon {

class TrashFile {
 public:
    // A record for `name`, first seen now (the environment's clock).
    static std::shared_ptr<TrashFile> fileWithPath(const std::string &name);
    // A record from an item dictionary {"path": string, "trashDate": date, "fileNumber":
    // integer, "fileBirth" or "fileChange": integer, the stamp in nanoseconds since the epoch,
    // "size": integer, the item's bytes as measured once (see size()), "keepUntil": date,
    // before which the item is not due whatever its age}.
    // Other keys are ignored (with both stamps, the birth counts); a "trashDate" that is not
    // a date leaves the date absent, a "fileNumber" or stamp that is not an integer the number
    // or stamp, a "keepUntil" that is not a date none. Null when `attributes` is not a dictionary or has no string "path".
    static std::shared_ptr<TrashFile> fileWithAttributes(const PlistValue &attributes);

    TrashFile(std::string path, std::optional<CalendarDate> trashDate)
        : path_(std::move(path)), trashDate_(trashDate) {}

    // The item dictionary; "trashDate", "fileNumber", the stamp, "size" and "keepUntil" are left
    // out while absent.
    PlistValue attributes() const;

    const std::string &path() const { return path_; }
    void setPath(const std::string &path) { path_ = path; }
    const std::optional<CalendarDate> &trashDate() const { return trashDate_; }
    void setTrashDate(std::optional<CalendarDate> date) { trashDate_ = date; }
    const std::optional<uint64_t> &fileNumber() const { return fileNumber_; }
    void setFileNumber(std::optional<uint64_t> number) { fileNumber_ = number; }
    // Until when the user keeps the item past its due date (TrashFolder::dueNames).
    const std::optional<CalendarDate> &keepUntil() const { return keepUntil_; }
    void setKeepUntil(std::optional<CalendarDate> date) { keepUntil_ = date; }
    StampKind stampKind() const { return stampKind_; }
    int64_t stamp() const { return stamp_; }
    void setStamp(StampKind kind, int64_t stamp) { stampKind_ = kind, stamp_ = stamp; }
    // The item's bytes, measured once while a space limit is on and kept with the record (a
    // changed item is a new record, measured anew); absent until then.
    const std::optional<uint64_t> &size() const { return size_; }
    void setSize(std::optional<uint64_t> size) { size_ = size; }
    // The stamp's key in the item dictionary; null for none.
    static const char *stampKey(StampKind kind);

    // "<TrashFile: 0x...> {path = NAME; trashDate = DATE;}" on one line.
    std::string description() const;
    size_t hash() const;
    bool isEqualToFile(const TrashFile &other) const { return this == &other || path_ == other.path_; }
    friend bool operator==(const TrashFile &a, const TrashFile &b) { return a.isEqualToFile(b); }

 private:
    std::string path_;
    std::optional<CalendarDate> trashDate_;
    std::optional<uint64_t> fileNumber_;
    std::optional<CalendarDate> keepUntil_;
    StampKind stampKind_ = StampKind::none;
    int64_t stamp_ = 0;
    std::optional<uint64_t> size_;
};

}  // namespace quillon
