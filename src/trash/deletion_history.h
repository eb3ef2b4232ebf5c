// The deletion history: what the server deleted, when and why, kept in the user's state folder
// ($XDG_STATE_HOME/quillon/history, default ~/.local/state/quillon/history; folder 0700, file
// 0600) for the settings tool and the panel to show.
//
// The file holds one entry a line, eight fields separated by tabs, the line ended by "\n":
//   TIME  WHY  METHOD  COUNT  BYTES  FOLDER  NAME  LOCATION
// TIME the deletion's moment in UTC ("2027-03-01T12:00:00Z"); WHY "age", "limit" or
// "purge-now" (lower-case letters and "-"); METHOD "plain" or "secure"; COUNT and BYTES
// decimal: the items the entry stands for and the bytes they held (0 when not known); FOLDER
// the trash folder's path, NAME the item's name in it and LOCATION where it was trashed from
// (both empty when not known or not kept). In the three text fields a backslash, a tab and a
// line end are written "\\", "\t" and "\n", every other byte as it is (names are any bytes).
// A plain deletion is one entry per item. A secure one keeps neither name nor location --
// a history that remembered a securely deleted file's name would undo part of the point --
// unless the user asks for names ("historyNames"): it is then one entry per item, otherwise
// one per trash folder and cycle with the count and the bytes of what went.
//
// Each entry reaches the file in one write() with O_APPEND, so a crash leaves whole entries
// and at most one torn last line, which has no line end: readers skip it, and any line that
// does not read as an entry. The file is bounded: at most a year of entries and 10,000 of
// them, the oldest dropped, checked without reading the file at every append (see
// DeletionHistory::append).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Why the server deleted an item, as the history names it. A size limit's deletions pass
// kWhyLimit.
inline constexpr char kWhyAge[] = "age";
inline constexpr char kWhyLimit[] = "limit";
inline constexpr char kWhyPurgeNow[] = "purge-now";
// A reason as people read it, translated: "by age", "by limit", "purge now"; one this version
// does not know as it stands.
std::string reasonText(const std::string &why);

struct HistoryEntry {
    int64_t time = 0;  // seconds since 1970, UTC
    std::string why;
    bool secure = false;
    uint64_t count = 1;
    uint64_t bytes = 0;
    std::string folder, name, location;
    friend bool operator==(const HistoryEntry &, const HistoryEntry &) = default;
};

// The history file's path: $XDG_STATE_HOME/quillon/history by the environment's state folder.
std::string deletionHistoryPath();

// The entry's line, its line end included; and a line (without its end) back, nullopt when it
// is no entry.
std::string historyLine(const HistoryEntry &entry);
std::optional<HistoryEntry> parseHistoryLine(std::string_view line);

// The entries of the history at `path`, oldest first: those at or after `since`, the last
// `last` of them. Empty when there is no file; nullopt (errno set) when it cannot be read.
// Blocks on the file's volume: not for the run loop's thread.
std::optional<std::vector<HistoryEntry>> readHistory(const std::string &path,
                                                     int64_t since = std::numeric_limits<int64_t>::min(),
                                                     size_t last = std::numeric_limits<size_t>::max());

// The writer: one per server, used by one thread at a time. It blocks on the state folder's
// volume (the home volume, maybe a network one): run it as patient work (fs/blocking_work.h).
class DeletionHistory {
 public:
    static constexpr size_t kMaxEntries = 10000;
    static constexpr int64_t kMaxAge = 365 * 86400;  // seconds

    explicit DeletionHistory(std::string path) : path_(std::move(path)) {}

    // Appends `entries` (making the folder, 0700, and the file, 0600, as needed), one write
    // each. At the first append since the writer was made, once a day, and when the entries
    // would pass kMaxEntries, the file is rewritten instead, atomically (fs/atomic_file.h):
    // its entries within kMaxAge of `now` and then these, at most kMaxEntries, or down to nine
    // tenths of it when it overflowed, so that a full history is not rewritten at every
    // append; torn and malformed lines go with that rewrite. False (logged) when the entries
    // could not be written; the file then holds whole entries only, and the next append
    // rewrites it.
    bool append(const std::vector<HistoryEntry> &entries, int64_t now);

 private:
    bool rewrite(const std::vector<HistoryEntry> &entries, int64_t now, int folder);

    std::string path_;
    std::optional<int64_t> trimmed_;  // when the file was last rewritten; none: at the next append
    size_t held_ = 0;                 // the entries the file holds since then
};

}  // namespace quillon
