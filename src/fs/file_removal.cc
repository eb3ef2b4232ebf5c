#include "fs/file_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "base/log.h"
#include "fs/directory_listing.h"
#include "fs/file_identity.h"

namespace quillon {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

struct Level {
    std::string name;  // in the parent level
    FileIdentity id;
    std::vector<std::string> subdirectories;  // still to descend into
};

bool gone(int result) { return result == 0 || errno == ENOENT; }

// The walk over one item: stays on the file system of the folder that holds it.
class Removal {
 public:
    explicit Removal(const FileIdentity &boundary, const std::string &path) : boundary_(boundary), path_(path) {}

    // Unlinks every non-directory in `fd` and returns the names of its subdirectories.
    std::vector<std::string> clearFiles(int fd) {
        std::vector<std::string> subdirectories;
        const bool listed = forEachEntry(fd, [&](const dirent &entry) {
            const char *name = entry.d_name;
            FileIdentity id;
            if (!examineEntry(fd, name, id)) {
                if (errno != ENOENT) fail(errno);
                return;
            }
            if (!within(id)) return;
            if (S_ISDIR(id.mode))
                subdirectories.emplace_back(name);
            else if (!gone(unlinkat(fd, name, 0)))
                fail(errno);
        });
        if (!listed) fail(errno);
        return subdirectories;
    }

    // False, and said once, for an entry on another device or mount: it is left alone.
    bool within(const FileIdentity &id) {
        if (sameFileSystem(id, boundary_)) return true;
        if (ok()) logMessage("skipping a mount inside %s: it is on a different file system", path_.c_str());
        fail(EXDEV);
        return false;
    }

    bool ok() const { return error_ == 0; }
    // Notes a failure; the first one's errno is what the removal reports.
    void fail(int error) {
        if (error_ == 0) error_ = error != 0 ? error : EIO;
    }
    int error() const { return error_; }

 private:
    FileIdentity boundary_;
    std::string path_;
    int error_ = 0;
};

// Opens the directory `name` of `dirfd` when it is still the one examined as `id`.
int openExamined(int dirfd, const char *name, const FileIdentity &id) {
    int fd = openat(dirfd, name, kDirectoryFlags);
    if (fd < 0) return -1;
    FileIdentity now;
    if (!examineEntry(fd, "", now, AT_EMPTY_PATH) || now.device != id.device || now.inode != id.inode) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

}  // namespace

bool removeTree(const std::string &path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EINVAL;
        return false;
    }
    // The folder is the caller's to name (a /proc/self/fd path, say); below it nothing is
    // followed.
    const int top = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) return errno == ENOENT;
    FileIdentity boundary, item;
    if (!examineEntry(top, "", boundary, AT_EMPTY_PATH) || !examineEntry(top, name.c_str(), item)) {
        const bool missing = errno == ENOENT;
        close(top);
        return missing;
    }
    Removal removal(boundary, path);
    if (!removal.within(item)) {
        close(top);
        errno = EXDEV;
        return false;
    }
    if (!S_ISDIR(item.mode)) {
        const bool removed = gone(unlinkat(top, name.c_str(), 0));
        const int why = errno;
        close(top);
        errno = why;
        return removed;
    }

    int fd = openExamined(top, name.c_str(), item);
    if (fd < 0) {
        const int why = errno;
        close(top);
        errno = why;
        return false;
    }
    std::vector<Level> stack;
    stack.push_back({name, item, removal.clearFiles(fd)});

    for (;;) {
        Level &level = stack.back();
        if (!level.subdirectories.empty()) {
            const std::string child = std::move(level.subdirectories.back());
            level.subdirectories.pop_back();
            FileIdentity id;
            if (!examineEntry(fd, child.c_str(), id)) {
                if (errno != ENOENT) removal.fail(errno);
                continue;
            }
            if (!removal.within(id)) continue;
            if (!S_ISDIR(id.mode)) {
                // Replaced by a file or a link since the listing: remove that instead.
                if (!gone(unlinkat(fd, child.c_str(), 0))) removal.fail(errno);
                continue;
            }
            int inner = openExamined(fd, child.c_str(), id);
            if (inner < 0) {
                if (errno != ENOENT) removal.fail(errno);
                continue;
            }
            close(fd);
            fd = inner;
            stack.push_back({child, id, removal.clearFiles(fd)});
            continue;
        }
        if (stack.size() == 1) break;

        // Climb back through "..", and make sure it is the directory we came down from.
        const FileIdentity &expected = stack[stack.size() - 2].id;
        int parent = openExamined(fd, "..", expected);
        const int why = errno;
        close(fd);
        if (parent < 0) {
            close(top);
            errno = why;
            return false;  // the tree was moved while we worked in it
        }
        fd = parent;
        const std::string done = std::move(stack.back().name);
        stack.pop_back();
        if (!gone(unlinkat(fd, done.c_str(), AT_REMOVEDIR))) removal.fail(errno);
    }
    close(fd);
    if (!gone(unlinkat(top, name.c_str(), AT_REMOVEDIR))) removal.fail(errno);
    close(top);
    // The first failure is the cause: a folder that stays not empty follows from it.
    errno = removal.error();
    return removal.ok();
}

}  // namespace quillon
