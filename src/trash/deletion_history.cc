#include "trash/deletion_history.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>

#include "base/calendar_date.h"
#include "base/localization.h"
#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"

namespace quillon {

std::string reasonText(const std::string &why) {
    if (why == kWhyAge) return localizedString("by age");
    if (why == kWhyLimit) return localizedString("by limit");
    if (why == kWhyPurgeNow) return localizedString("purge now");
    return why;
}

namespace {

constexpr char kFileName[] = "history";
// Far beyond 10,000 entries of the longest paths: a file larger than this is no history of ours.
constexpr size_t kLargestHistory = size_t{256} << 20;
// A line longer than this (twice the longest escaped path and name) is no entry: not kept.
constexpr size_t kLongestLine = size_t{64} << 10;

void appendEscaped(std::string &out, std::string_view text) {
    for (char c : text) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
}

std::optional<std::string> unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        if (text[i] == '\\') out += '\\';
        else if (text[i] == 't') out += '\t';
        else if (text[i] == 'n') out += '\n';
        else return std::nullopt;
    }
    return out;
}

std::optional<uint64_t> number(std::string_view text) {
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string folderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

// The history's folder, opened without following a link at its last step; -1 with errno.
int openFolder(const std::string &path) {
    return open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Every entry of the history file in the open folder `dir`, oldest first, at or after `since`;
// nullopt with errno when it cannot be read, empty when there is none.
std::optional<std::deque<HistoryEntry>> readEntries(int dir, int64_t since, size_t last) {
    std::deque<HistoryEntry> entries;
    const int fd = openForReadingAt(dir, kFileName, kLargestHistory);
    if (fd < 0) {
        if (errno == ENOENT) return entries;
        return std::nullopt;
    }
    // Each line is taken when the next one begins, so the last is known by then: it counts
    // only when a line end follows it, which the byte after it tells.
    std::string line, pending;
    bool long_ = false, havePending = false;
    uint64_t offset = 0;  // where the pending line ends
    auto take = [&] {
        if (!havePending) return;
        if (auto entry = parseHistoryLine(pending); entry && entry->time >= since) {
            entries.push_back(std::move(*entry));
            if (entries.size() > last) entries.pop_front();
        }
        havePending = false;
    };
    const bool read = forEachLine(fd, kLargestHistory, [&](std::string_view piece, bool ends) {
        offset += piece.size();
        if (!long_) line.append(piece);
        if (line.size() > kLongestLine) {
            long_ = true;
            line.clear();
        }
        if (!ends) return true;
        take();
        if (!long_) {
            pending = std::move(line);
            havePending = true;
        }
        line.clear();
        long_ = false;
        offset++;  // its line end, if it has one
        return true;
    });
    const int saved = errno;
    char end = 0;
    if (read && havePending && (pread(fd, &end, 1, static_cast<off_t>(offset - 1)) != 1 || end != '\n'))
        havePending = false;  // torn: the writer died in the middle of it, or writes it now
    take();
    close(fd);
    if (!read) {
        errno = saved;
        return std::nullopt;
    }
    return entries;
}

}  // namespace

std::string deletionHistoryPath() { return Environment::current().stateFolder() + "/quillon/" + kFileName; }

std::string historyLine(const HistoryEntry &entry) {
    std::string line = utcText(CalendarDate::fromUnixTime(entry.time)).value_or("");
    line += '\t';
    line += entry.why;
    line += entry.secure ? "\tsecure\t" : "\tplain\t";
    line += std::to_string(entry.count) + '\t' + std::to_string(entry.bytes) + '\t';
    appendEscaped(line, entry.folder);
    line += '\t';
    appendEscaped(line, entry.name);
    line += '\t';
    appendEscaped(line, entry.location);
    line += '\n';
    return line;
}

std::optional<HistoryEntry> parseHistoryLine(std::string_view line) {
    std::string_view fields[8];
    size_t count = 0;
    for (size_t at = 0;; count++) {
        const size_t tab = line.find('\t', at);
        if (count == 8) return std::nullopt;
        fields[count] = line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at);
        if (tab == std::string_view::npos) break;
        at = tab + 1;
    }
    if (count != 7) return std::nullopt;
    HistoryEntry entry;
    const auto time = parseUtc(fields[0]);
    const auto items = number(fields[3]), bytes = number(fields[4]);
    auto folder = unescaped(fields[5]), name = unescaped(fields[6]), location = unescaped(fields[7]);
    const bool whyOk = !fields[1].empty() && fields[1].find_first_not_of("abcdefghijklmnopqrstuvwxyz-") == std::string_view::npos;
    if (!time || !whyOk || (fields[2] != "plain" && fields[2] != "secure") || !items || !bytes || !folder || !name ||
        !location)
        return std::nullopt;
    entry.time = static_cast<int64_t>(time->unixSeconds());
    entry.why = fields[1];
    entry.secure = fields[2] == "secure";
    entry.count = *items;
    entry.bytes = *bytes;
    entry.folder = std::move(*folder);
    entry.name = std::move(*name);
    entry.location = std::move(*location);
    return entry;
}

std::optional<std::vector<HistoryEntry>> readHistory(const std::string &path, int64_t since, size_t last) {
    const int dir = openFolder(path);
    if (dir < 0) {
        if (errno == ENOENT) return std::vector<HistoryEntry>{};
        return std::nullopt;
    }
    auto entries = readEntries(dir, since, last);
    const int saved = errno;
    close(dir);
    errno = saved;
    if (!entries) return std::nullopt;
    return std::vector<HistoryEntry>(std::make_move_iterator(entries->begin()), std::make_move_iterator(entries->end()));
}

bool DeletionHistory::append(const std::vector<HistoryEntry> &entries, int64_t now) {
    if (entries.empty()) return true;
    if (!ensureFolder(folderOf(path_))) return false;
    const int dir = openFolder(path_);
    if (dir < 0) {
        logMessage("could not write the deletion history %s: %s", path_.c_str(), strerror(errno));
        return false;
    }
    bool written;
    if (!trimmed_ || now - *trimmed_ >= 86400 || now < *trimmed_ || held_ + entries.size() > kMaxEntries) {
        written = rewrite(entries, now, dir);
    } else {
        const int fd = openat(dir, kFileName, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
        written = fd >= 0;
        for (size_t i = 0; written && i < entries.size(); i++) {
            const std::string line = historyLine(entries[i]);
            // One write per entry: O_APPEND puts it whole at the end, or a crash tears this one only.
            const ssize_t n = write(fd, line.data(), line.size());
            written = n == static_cast<ssize_t>(line.size());
            if (n >= 0 && !written) errno = ENOSPC;
            held_++;
        }
        const int saved = errno;
        if (fd >= 0) close(fd);
        errno = saved;
        if (!written) trimmed_.reset();  // a short write leaves a torn line: the next append rewrites
    }
    if (!written) logMessage("could not write the deletion history %s: %s", path_.c_str(), strerror(errno));
    close(dir);
    return written;
}

bool DeletionHistory::rewrite(const std::vector<HistoryEntry> &entries, int64_t now, int dir) {
    auto kept = readEntries(dir, now - kMaxAge, kMaxEntries);
    if (!kept) return false;
    for (const HistoryEntry &entry : entries) kept->push_back(entry);
    if (kept->size() > kMaxEntries)
        kept->erase(kept->begin(), kept->end() - static_cast<std::ptrdiff_t>(kMaxEntries - kMaxEntries / 10));
    std::string text;
    for (const HistoryEntry &entry : *kept) text += historyLine(entry);
    if (!writeFileAtomicallyAt(dir, kFileName, text)) return false;
    trimmed_ = now;
    held_ = kept->size();
    return true;
}

}  // namespace quillon
