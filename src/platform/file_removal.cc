#include "platform/file_removal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/directory_listing.h"

namespace quillon {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Level {
    std::string name;  // in the parent level
    dev_t device;
    ino_t inode;
    std::vector<std::string> subdirectories;  // still to descend into
};

bool gone(int result) { return result == 0 || errno == ENOENT; }

// Unlinks every non-directory in `fd` and returns the names of its subdirectories.
std::vector<std::string> clearFiles(int fd, bool &ok) {
    std::vector<std::string> subdirectories;
    const bool listed = forEachEntry(fd, [&](const dirent &entry) {
        const char *name = entry.d_name;
        bool is_directory = entry.d_type == DT_DIR;
        if (entry.d_type == DT_UNKNOWN) {
            struct stat st;
            is_directory = fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        }
        if (is_directory)
            subdirectories.emplace_back(name);
        else if (!gone(unlinkat(fd, name, 0)))
            ok = false;
    });
    if (!listed) ok = false;
    return subdirectories;
}

}  // namespace

bool removeTree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISDIR(st.st_mode)) return gone(unlink(path.c_str()));

    int fd = open(path.c_str(), kDirectoryFlags);
    if (fd < 0) return false;
    bool ok = true;
    std::vector<Level> stack;
    stack.push_back({"", st.st_dev, st.st_ino, clearFiles(fd, ok)});

    for (;;) {
        Level &top = stack.back();
        if (!top.subdirectories.empty()) {
            const std::string name = std::move(top.subdirectories.back());
            top.subdirectories.pop_back();
            int child = openat(fd, name.c_str(), kDirectoryFlags);
            if (child < 0) {
                // Replaced by a file or a link since the listing: remove that instead.
                if (errno == ENOTDIR || errno == ELOOP) {
                    if (!gone(unlinkat(fd, name.c_str(), 0))) ok = false;
                } else if (errno != ENOENT) {
                    ok = false;
                }
                continue;
            }
            struct stat child_st;
            if (fstat(child, &child_st) != 0) {
                close(child);
                ok = false;
                continue;
            }
            close(fd);
            fd = child;
            stack.push_back({name, child_st.st_dev, child_st.st_ino, clearFiles(fd, ok)});
            continue;
        }
        if (stack.size() == 1) break;

        // Climb back through "..", and make sure it is the directory we came down from.
        int parent = openat(fd, "..", kDirectoryFlags);
        struct stat parent_st;
        const Level &expected = stack[stack.size() - 2];
        if (parent < 0 || fstat(parent, &parent_st) != 0 || parent_st.st_dev != expected.device ||
            parent_st.st_ino != expected.inode) {
            if (parent >= 0) close(parent);
            close(fd);
            return false;  // the tree was moved while we worked in it
        }
        close(fd);
        fd = parent;
        const std::string name = std::move(stack.back().name);
        stack.pop_back();
        if (!gone(unlinkat(fd, name.c_str(), AT_REMOVEDIR))) ok = false;
    }
    close(fd);
    return gone(rmdir(path.c_str())) && ok;
}

}  // namespace quillon
