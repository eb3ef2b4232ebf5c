#include "fs/file_removal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/log.h"
#include "fs/safe_walk.h"

namespace quillon {

namespace {

bool gone(int result) { return result == 0 || errno == ENOENT; }

// The walk over one item: stays on the file system of the folder that holds it.
class Removal : public SafeWalk {
 public:
    explicit Removal(const std::string &path) : path_(path) {}

    bool ok() const { return error_ == 0; }
    int error() const { return error_; }
    uint64_t freed() const { return freed_; }

 protected:
    bool onFile(const Entry &entry) override {
        if (!gone(unlinkat(entry.dirfd, entry.name, 0))) return fail(errno);
        // As the item's size counts it: its regular files and links.
        if (S_ISREG(entry.id.mode) || S_ISLNK(entry.id.mode)) freed_ += entry.id.size;
        return true;
    }
    bool onLeaveDir(const Entry &entry, bool) override {
        return gone(unlinkat(entry.dirfd, entry.name, AT_REMOVEDIR)) || fail(errno);
    }
    void onTrouble(Trouble trouble, const Entry &entry) override {
        if (trouble == Trouble::otherFileSystem) {
            if (ok()) logMessage("skipping a mount inside %s: it is on a different file system", path_.c_str());
        } else if (trouble == Trouble::open && errno == ENOENT && entry.depth > 0) {
            return;  // gone since it was examined
        }
        fail(errno);
    }

 private:
    // Notes a failure; the first one's errno is what the removal reports.
    bool fail(int error) {
        if (error_ == 0) error_ = error != 0 ? error : EIO;
        return false;
    }

    std::string path_;
    int error_ = 0;
    uint64_t freed_ = 0;
};

}  // namespace

bool removeTree(const std::string &path, uint64_t *freed) {
    if (freed) *freed = 0;
    std::string folder, name;
    splitPath(path, folder, name);
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
    Removal removal(path);
    if (!sameFileSystem(item, boundary)) {
        logMessage("skipping a mount inside %s: it is on a different file system", path.c_str());
        close(top);
        errno = EXDEV;
        return false;
    }
    removal.walk(top, name, path, item, boundary);
    close(top);
    if (freed) *freed = removal.freed();
    // The first failure is the cause: a folder that stays not empty follows from it.
    errno = removal.error();
    return removal.ok();
}

}  // namespace quillon
