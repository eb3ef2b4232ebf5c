#include "platform/trash_bookkeeping.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/atomic_file.h"
#include "platform/environment.h"
#include "platform/log.h"

namespace quillon {

namespace {

constexpr char kSuffix[] = ".trashinfo";
constexpr size_t kSuffixLength = sizeof kSuffix - 1;
// One line per trashed folder: far below this for any real trash.
constexpr size_t kLargestDirectorySizes = size_t{64} << 20;

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

}  // namespace

std::string percentDecode(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
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
    if (securely ? environment.secureDelete(infoPathFor(name), 0) : environment.removeItem(infoPathFor(name)))
        return true;
    logMessage(securely ? "could not securely delete: %s" : "could not delete: %s", shown.c_str());
    return false;
}

bool TrashBookkeeping::forget(const std::string &name, bool securely) {
    if (trashFd_ < 0) return true;
    forgotten_.insert(name);
    return removeInfo(name, securely);
}

void TrashBookkeeping::finish() {
    if (trashFd_ < 0 || forgotten_.empty()) return;
    const std::string shown = trashPath_ + "/directorysizes";
    auto contents = readWholeFileAt(trashFd_, "directorysizes", kLargestDirectorySizes);
    const std::set<std::string> forgotten = std::move(forgotten_);
    forgotten_.clear();
    if (!contents) {
        if (errno != ENOENT) logMessage("skipping %s: %s", shown.c_str(), readErrorText(errno).c_str());
        return;
    }
    std::string kept;
    kept.reserve(contents->size());
    bool dropped = false;
    size_t start = 0;
    while (start < contents->size()) {
        size_t end = contents->find('\n', start);
        if (end == std::string::npos) end = contents->size();
        const std::string_view line(contents->data() + start, end - start);
        start = end + 1;
        // SIZE MTIME PERCENT-ENCODED-NAME
        const size_t first = line.find(' ');
        const size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
        if (second != std::string_view::npos &&
            forgotten.count(percentDecode(std::string(line.substr(second + 1)))) != 0) {
            dropped = true;
            continue;
        }
        kept += line;
        kept += '\n';
    }
    if (dropped && !writeFileAtomicallyAt(trashFd_, "directorysizes", kept))
        logMessage("could not update %s: %s", shown.c_str(), strerror(errno));
}

std::set<std::string> TrashBookkeeping::orphans() const {
    std::set<std::string> found;
    if (infoFd_ < 0) return found;
    forEachEntry(infoFd_, [&](const dirent &entry) {
        const size_t length = strlen(entry.d_name);
        if (length <= kSuffixLength || strcmp(entry.d_name + length - kSuffixLength, kSuffix) != 0) return;
        std::string item(entry.d_name, length - kSuffixLength);
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
        if (removeInfo(name, securely) && infoFd_ >= 0)
            logMessage("removed %s/info/%s.trashinfo: its item has been gone since the last look", trashPath_.c_str(), name.c_str());
    }
}

}  // namespace quillon
