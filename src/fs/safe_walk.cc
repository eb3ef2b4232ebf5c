#include "fs/safe_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "fs/directory_listing.h"

namespace quillon {

void splitPath(const std::string &path, std::string &folder, std::string &name) {
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NONBLOCK;

// A folder on the way down: only the innermost one is open.
struct Level {
    std::string name;  // in the parent
    std::string path;
    FileIdentity id;
    std::vector<std::string> entries;  // still to visit, consumed from the back
    bool failed = false;               // something in it failed
};

std::string join(const std::string &folder, const std::string &name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

}  // namespace

bool SafeWalk::walk(int dirfd, const std::string &name, const std::string &path, const FileIdentity &item,
                    const FileIdentity &boundary) {
    if (!S_ISDIR(item.mode)) return onFile({dirfd, name.c_str(), path, item, 0});
    std::vector<Level> stack;
    int fd = -1;
    // Enters the folder `child` of `parent`, examined as `id`; false when it stays unentered.
    auto enter = [&](int parent, const std::string &child, const std::string &childPath, const FileIdentity &id) {
        const Entry entry{parent, child.c_str(), childPath, id, static_cast<int>(stack.size())};
        if (!onEnterDir(entry)) return false;
        const int inner = openExamined(parent, child.c_str(), kFolderFlags, id);
        if (inner < 0) {
            onTrouble(Trouble::open, entry);
            return false;
        }
        Level level{child, childPath, id, {}, false};
        std::vector<std::string> names;
        if (!forEachEntry(inner, [&](const DirectoryEntry &found) { names.emplace_back(found.name); }, true)) {
            onTrouble(Trouble::list, entry);
            level.failed = true;
        }
        level.entries.assign(std::make_move_iterator(names.rbegin()), std::make_move_iterator(names.rend()));
        if (fd >= 0) close(fd);
        fd = inner;
        stack.push_back(std::move(level));
        return true;
    };
    if (!enter(dirfd, name, path, item)) return false;

    for (;;) {
        Level &top = stack.back();
        if (!top.entries.empty()) {
            const std::string child = std::move(top.entries.back());
            top.entries.pop_back();
            const std::string childPath = join(top.path, child);
            FileIdentity id;
            const Entry entry{fd, child.c_str(), childPath, id, static_cast<int>(stack.size())};
            if (!examineEntry(fd, child.c_str(), id)) {
                if (errno == ENOENT) continue;  // gone since the listing
                onTrouble(Trouble::examine, entry);
                top.failed = true;
            } else if (!sameFileSystem(id, boundary)) {
                errno = EXDEV;
                onTrouble(Trouble::otherFileSystem, entry);
                top.failed = true;
            } else if (!S_ISDIR(id.mode)) {
                if (!onFile(entry)) top.failed = true;
            } else if (!enter(fd, child, childPath, id)) {
                top.failed = true;
            }
            continue;
        }

        // Every entry visited: climb back, checked, and leave the folder.
        Level done = std::move(stack.back());
        stack.pop_back();
        const bool atStart = stack.empty();
        const int parent = atStart ? dirfd : openExamined(fd, "..", kFolderFlags, stack.back().id);
        const int why = errno;
        close(fd);
        fd = parent;
        const Entry entry{parent, done.name.c_str(), done.path, done.id, static_cast<int>(stack.size())};
        if (parent < 0) {
            errno = why;
            onTrouble(Trouble::climb, entry);  // the tree was moved while we worked in it
            return false;
        }
        const bool left = onLeaveDir(entry, done.failed);
        if (atStart) return left && !done.failed;
        if (!left) stack.back().failed = true;
    }
}

}  // namespace quillon
