#include "trash/trash_bookkeeping.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "base/calendar_date.h"
#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"

namespace quillon {

namespace {

constexpr char kSuffix[] = ".trashinfo";
constexpr size_t kSuffixLength = sizeof kSuffix - 1;

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isNamedFiles(const std::string &path) {
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const size_t slash = folder.rfind('/');
    return slash != std::string::npos && folder.compare(slash + 1, std::string::npos, "files") == 0;
}

void percentDecodeInto(std::string_view text, std::string &out) {
    out.clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
}

std::string parentOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

int openTrashInfoFolder(int filesFd) {
    const int trash = openat(filesFd, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (trash < 0) return -1;
    const int info = openat(trash, "info", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int saved = errno;
    close(trash);
    errno = saved;
    return info;
}

std::optional<TrashInfo> readTrashInfo(int infoFd, const std::string &name) {
    if (infoFd < 0 || name.size() + kSuffixLength > NAME_MAX) return std::nullopt;
    const auto text = readWholeFileAt(infoFd, name + kSuffix, kLargestTrashInfo);
    if (!text) return std::nullopt;
    TrashInfo info;
    bool inGroup = false;
    for (size_t at = 0; at < text->size();) {
        size_t end = text->find('\n', at);
        if (end == std::string::npos) end = text->size();
        std::string_view line(text->data() + at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!line.empty() && line.front() == '[') {
            inGroup = line == "[Trash Info]";
        } else if (inGroup && line.starts_with("Path=") && info.path.empty()) {
            percentDecodeInto(line.substr(5), info.path);
        } else if (inGroup && line.starts_with("DeletionDate=") && info.deletionDate.empty()) {
            info.deletionDate = line.substr(13);
        }
    }
    return info;
}

std::string originalLocation(const std::string &files, const TrashInfo &info) {
    if (info.path.empty() || info.path.front() == '/') return info.path;
    std::string folder = files;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const std::string trash = parentOf(folder);
    std::string top;
    if (baseOf(trash).starts_with(".Trash-")) top = parentOf(trash);
    else if (baseOf(parentOf(trash)) == ".Trash") top = parentOf(parentOf(trash));
    else return "";
    return (top == "/" ? "" : top) + "/" + info.path;
}

std::optional<int64_t> deletionTime(const TrashInfo &info) { return parseLocalDateTime(info.deletionDate); }

std::string percentDecode(const std::string &text) {
    std::string out;
    percentDecodeInto(text, out);
    return out;
}

int openDirectorySizes(int trashFd) { return openForReadingAt(trashFd, "directorysizes", kLargestDirectorySizes); }

std::string_view directorySizesName(std::string_view line, std::string &scratch) {
    const size_t first = line.find(' ');
    const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
    if (second == std::string_view::npos) return {};
    const std::string_view name = line.substr(second + 1);
    if (name.find('%') == std::string_view::npos) return name;
    percentDecodeInto(name, scratch);
    return scratch;
}

TrashBookkeeping::TrashBookkeeping(const PinnedFolder &files) : files_(files) {
    if (!files.isOpen() || !isNamedFiles(files.path())) return;
    std::string path = files.path();
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    trashPath_ = path.substr(0, path.rfind('/'));
    // The folder that holds this very files folder, whatever its path leads to now.
    trashFd_ = openat(files.fd(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (trashFd_ < 0) return;
    infoFd_ = openat(trashFd_, "info", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (infoFd_ < 0 && errno != ENOENT)
        logMessage("skipping %s/info: %s", trashPath_.c_str(), errno == ELOOP || errno == ENOTDIR ? "not a folder" : strerror(errno));
}

TrashBookkeeping::~TrashBookkeeping() {
    if (infoFd_ >= 0) close(infoFd_);
    if (trashFd_ >= 0) close(trashFd_);
}

std::string TrashBookkeeping::infoPathFor(const std::string &name) const {
    return "/proc/self/fd/" + std::to_string(infoFd_) + "/" + name + kSuffix;
}

bool TrashBookkeeping::removeInfo(const std::string &name, bool securely) {
    // A name too long to take the suffix has no info file: none could have been made.
    if (infoFd_ < 0 || name.size() + kSuffixLength > NAME_MAX) return true;
    const std::string info = name + kSuffix;
    const std::string shown = trashPath_ + "/info/" + info;
    struct stat st;
    if (fstatat(infoFd_, info.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISREG(st.st_mode)) {
        logMessage("skipping %s: not a regular file", shown.c_str());
        return false;
    }
    Environment &environment = Environment::current();
    // Through the info folder we hold open: a link swapped in for it cannot redirect this.
    if (securely ? environment.secureDelete(infoPathFor(name), 0) : environment.removeItem(infoPathFor(name), nullptr))
        return true;
    (void)logRemovalFailure(shown, securely, errno);
    return false;
}

std::string logRemovalFailure(const std::string &shown, bool securely, int error) {
    const std::string cause = strerror(error);
    logMessage(securely ? "could not securely delete: %s (%s)" : "could not delete: %s (%s)", shown.c_str(),
               cause.c_str());
    return cause;
}

bool TrashBookkeeping::forget(const std::string &name, bool securely) {
    if (trashFd_ < 0) return true;
    forgotten_.insert(name);
    return removeInfo(name, securely);
}

void TrashBookkeeping::finish() {
    if (trashFd_ < 0 || forgotten_.empty()) return;
    const std::string shown = trashPath_ + "/directorysizes";
    const std::set<std::string, std::less<>> forgotten = std::move(forgotten_);
    forgotten_.clear();
    const int fd = openDirectorySizes(trashFd_);
    if (fd < 0) {
        if (errno != ENOENT) logMessage("skipping %s: %s", shown.c_str(), readErrorText(errno).c_str());
        return;
    }
    // A line is dropped by its name alone: whatever else the line of a gone item says is stale.
    // Only a line read whole can name an item; one longer than the reader's buffer is kept.
    std::string scratch;
    bool atStart = true;
    auto isGone = [&](std::string_view piece, bool ends) {
        const bool gone = atStart && ends && forgotten.count(directorySizesName(piece, scratch)) != 0;
        atStart = ends;
        return gone;
    };
    // First only read, up to the first line to drop: most purges remove no item with a line,
    // and a large file is then not written out again.
    bool found = false;
    const bool scanned = forEachLine(fd, kLargestDirectorySizes, [&](std::string_view piece, bool ends) {
        found = isGone(piece, ends);
        return !found;
    });
    if (!found) {
        if (!scanned) logMessage("skipping %s: %s", shown.c_str(), readErrorText(errno).c_str());
        close(fd);
        return;
    }
    atStart = true;
    const bool written = writeFileAtomicallyAt(trashFd_, "directorysizes", [&](int out) {
        std::string kept;  // written out in blocks, not line by line
        const bool copied = forEachLine(fd, kLargestDirectorySizes, [&](std::string_view piece, bool ends) {
            if (isGone(piece, ends)) return true;
            kept += piece;
            if (ends) kept += '\n';
            if (kept.size() < (64 << 10)) return true;
            const bool ok = writeAll(out, kept.data(), kept.size());
            kept.clear();
            return ok;
        });
        return copied && writeAll(out, kept.data(), kept.size());
    });
    const int saved = errno;
    close(fd);
    if (!written) logMessage("could not update %s: %s", shown.c_str(), strerror(saved));
}

std::set<std::string> TrashBookkeeping::orphans() const {
    std::set<std::string> found;
    if (infoFd_ < 0) return found;
    forEachEntry(infoFd_, [&](const DirectoryEntry &entry) {
        const size_t length = strlen(entry.name);
        if (length <= kSuffixLength || strcmp(entry.name + length - kSuffixLength, kSuffix) != 0) return;
        std::string item(entry.name, length - kSuffixLength);
        struct stat st;
        if (fstatat(files_.fd(), item.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT)
            found.insert(std::move(item));
    });
    return found;
}

void TrashBookkeeping::removeOrphans(const std::set<std::string> &names, bool securely) {
    for (const std::string &name : names) {
        struct stat st;
        if (fstatat(files_.fd(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) continue;
        if (infoFd_ < 0 || fstatat(infoFd_, (name + kSuffix).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        const double age = Environment::current().now().unixSeconds() -
                           (static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9);
        if (!(age >= kOrphanAge)) continue;  // its item may still be on its way in
        if (removeInfo(name, securely))
            logMessage("removed %s/info/%s.trashinfo: its item has been gone since the last look", trashPath_.c_str(), name.c_str());
    }
}

}  // namespace quillon
