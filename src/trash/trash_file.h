// TrashFile: the record of one item in one trash folder, its name and its first-seen date.
//
// A record is identified by its name alone: records with equal names are equal, whatever
// their dates, and hash alike. The first-seen date is absent only for a record read from a
// trash list file that lacked it; such a record has no age until a scan dates it.
//
// A record also remembers which file it is about (its inode in the trash folder), so that a
// different file later trashed under the same name is not taken for it. The number is absent
// for a record read from an older trash list file, until a scan meets the item.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/calendar_date.h"
#include "platform/plist.h"

namespace quillon {

class TrashFile {
 public:
    // A record for `name`, first seen now (the environment's clock).
    static std::shared_ptr<TrashFile> fileWithPath(const std::string &name);
    // A record from an item dictionary {"path": string, "trashDate": date, "fileNumber":
    // integer}. Other keys are ignored; a "trashDate" that is not a date leaves the date
    // absent, a "fileNumber" that is not an integer the number. Null when
    // `attributes` is not a dictionary or has no string "path".
    static std::shared_ptr<TrashFile> fileWithAttributes(const PlistValue &attributes);

    TrashFile(std::string path, std::optional<CalendarDate> trashDate)
        : path_(std::move(path)), trashDate_(trashDate) {}

    // The item dictionary; "trashDate" and "fileNumber" are left out while absent.
    PlistValue attributes() const;

    const std::string &path() const { return path_; }
    void setPath(const std::string &path) { path_ = path; }
    const std::optional<CalendarDate> &trashDate() const { return trashDate_; }
    void setTrashDate(std::optional<CalendarDate> date) { trashDate_ = date; }
    const std::optional<uint64_t> &fileNumber() const { return fileNumber_; }
    void setFileNumber(std::optional<uint64_t> number) { fileNumber_ = number; }

    // "<TrashFile: 0x...> {path = NAME; trashDate = DATE;}" on one line.
    std::string description() const;
    size_t hash() const;
    bool isEqualToFile(const TrashFile &other) const { return this == &other || path_ == other.path_; }
    friend bool operator==(const TrashFile &a, const TrashFile &b) { return a.isEqualToFile(b); }

 private:
    std::string path_;
    std::optional<CalendarDate> trashDate_;
    std::optional<uint64_t> fileNumber_;
};

}  // namespace quillon
