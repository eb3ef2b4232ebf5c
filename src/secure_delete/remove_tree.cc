#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "secure_delete/engine.h"
#include "secure_delete/engine_platform.h"

namespace quillon::engine {

constinit thread_local walk_hook_function walk_hook = nullptr;

namespace {

void at_stage(walk_stage stage, int dirfd, const char *name) {
    if (walk_hook) walk_hook(stage, dirfd, name);
}

constexpr int kRandomNameLength = 14;
constexpr uint32_t kFallbackBlockSize = 4096;  // for a file system that reports 0
// Writes of at most this much: fewer system calls than st_blksize alone, and still a buffer
// the random source fills in a moment.
constexpr uint32_t kLargestPassBuffer = 1u << 20;

bool is_name_character(int byte) {
    // isalnum of the C locale, without depending on the process's locale.
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

// The file system that one operand lives on: nothing on another device or mount is touched.
struct Boundary {
    dev_t device;
    uint64_t mount;
};

bool within(const Boundary &boundary, const entry_stat &st) {
    return st.device == boundary.device && (!st.has_mount || st.mount == boundary.mount);
}

// One directory on the way down: what the walk saw when it entered, and what it still has
// to visit. Only the innermost one is open.
struct Level {
    std::string name;  // in the parent
    std::string path;  // for messages
    dev_t device;
    ino_t inode;
    std::vector<std::string> entries;  // still to visit, in listing order reversed
    bool failed = false;               // something inside stays
};

std::vector<std::string> list_entries(int fd, bool &ok) {
    std::vector<std::string> names;
    ok = for_each_name(fd, [&](const char *name) { names.emplace_back(name); });
    // Visit in the order the directory yields them; the vector is consumed from its back.
    return std::vector<std::string>(names.rbegin(), names.rend());
}

std::string join(const std::string &directory, const std::string &name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

// A path's directory part and last component; the directory is "." for a bare name.
void split_path(const char *path, std::string &directory, std::string &name) {
    const char *slash = strrchr(path, '/');
    if (!slash) {
        directory = ".";
        name = path;
        return;
    }
    directory = slash == path ? "/" : std::string(path, static_cast<size_t>(slash - path));
    name = slash + 1;
}

int visit(int dirfd, const std::string &name, const std::string &path, const entry_stat &st,
          const Boundary &boundary);

// Walks the directory `name` of `dirfd`, already examined as `st`: every entry, then the
// directory itself. One descriptor is held at a time; the way back up goes through ".." and
// is checked against the device and inode seen on the way down.
int walk_directory(int dirfd, const std::string &name, const std::string &path, const entry_stat &st,
                   const Boundary &boundary) {
    if (!(options & OPT_RECURSIVE)) {
        note_error(EISDIR);
        report_error("%s is a directory", path.c_str());
        return 1;
    }
    at_stage(walk_stage::examined, dirfd, name.c_str());
    int fd = open_examined_directory(dirfd, name.c_str(), st);
    if (fd < 0) {
        report_errno("unable to remove %s", path.c_str());
        return 1;
    }
    bool listed = true;
    std::vector<Level> stack;
    stack.push_back({name, path, st.device, st.inode, list_entries(fd, listed)});
    if (!listed) {
        note_error(EACCES);
        report_error("%s: permission denied", path.c_str());
        stack.back().failed = true;
    }

    for (;;) {
        Level &top = stack.back();
        if (!top.entries.empty()) {
            const std::string child = std::move(top.entries.back());
            top.entries.pop_back();
            const std::string child_path = join(top.path, child);
            entry_stat child_st;
            if (!stat_entry(fd, child.c_str(), child_st)) {
                if (errno == ENOENT) continue;  // gone since the listing
                report_errno("unable to stat %s", child_path.c_str());
                top.failed = true;
                continue;
            }
            if (!within(boundary, child_st)) {
                note_error(EXDEV);
                report_error("skipping %s, since it is on a different file system", child_path.c_str());
                top.failed = true;
                continue;
            }
            if (!S_ISDIR(child_st.mode)) {
                if (visit(fd, child, child_path, child_st, boundary) != 0) top.failed = true;
                continue;
            }
            at_stage(walk_stage::examined, fd, child.c_str());
            int inner = open_examined_directory(fd, child.c_str(), child_st);
            if (inner < 0) {
                // Swapped for something else since it was examined: never followed.
                report_errno("unable to remove %s", child_path.c_str());
                top.failed = true;
                continue;
            }
            (void)close(fd);
            fd = inner;
            stack.push_back({child, child_path, child_st.device, child_st.inode, list_entries(fd, listed)});
            if (!listed) {
                note_error(EACCES);
                report_error("%s: permission denied", child_path.c_str());
                stack.back().failed = true;
            }
            continue;
        }

        // Every entry visited: climb back and remove the directory itself.
        const Level done = std::move(stack.back());
        stack.pop_back();
        const bool at_operand = stack.empty();
        int parent = at_operand ? dup(dirfd) : open_parent(fd, stack.back().device, stack.back().inode);
        (void)close(fd);
        if (parent < 0) {
            // The tree was moved while we worked in it: stop rather than guess where we are.
            report_errno("unable to remove %s", done.path.c_str());
            return 1;
        }
        fd = parent;
        int result = 0;
        if (done.failed) {
            // What stays inside keeps the directory, under its own name.
            errno = ENOTEMPTY;
            report_errno("unable to remove %s", done.path.c_str());
            result = 1;
        } else if (!prompt_file(fd, done.name.c_str(), done.path.c_str(), entry_kind::directory)) {
            result = 1;
        } else if (rename_unlink_at(fd, done.name.c_str(), done.path.c_str()) == -1) {
            report_errno("unable to remove %s", done.path.c_str());
            result = 1;
        }
        if (at_operand) {
            (void)close(fd);
            return result;
        }
        if (result != 0) stack.back().failed = true;
    }
}

// One entry of any kind that `dirfd` holds under `name`, examined as `st` and found on the
// operand's own file system.
int visit(int dirfd, const std::string &name, const std::string &path, const entry_stat &st,
          const Boundary &boundary) {
    if (S_ISDIR(st.mode)) return walk_directory(dirfd, name, path, st, boundary);
    if (!S_ISREG(st.mode) && !S_ISLNK(st.mode)) {  // FIFOs, sockets and devices stay, silently
        note_error(ENOTSUP);
        return 1;
    }

    const entry_kind kind = S_ISLNK(st.mode) ? entry_kind::link : entry_kind::file;
    if (!prompt_file(dirfd, name.c_str(), path.c_str(), kind)) return 1;  // skipped: still there
    if (secure_remove_file_at(dirfd, name.c_str(), path.c_str()) == -1) {
        if (errno == EMLINK) {
            note_error(EMLINK);
            report_error("%s has multiple links, this one has been removed but not overwritten", path.c_str());
        } else
            report_errno("unable to remove %s", path.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

void strip_trailing_slashes(char *path) {
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') path[--length] = '\0';
}

int remove_tree(char **operands) {
    int status = 0;
    for (char **operand = operands; *operand; operand++) {
        strip_trailing_slashes(*operand);
        std::string directory, name;
        split_path(*operand, directory, name);
        if (strcmp(*operand, "/") == 0 || name.empty() || name == "." || name == "..") {
            // Never walk the whole system, nor a directory through a name that is not its own.
            errno = EINVAL;
            report_errno("unable to remove %s", *operand);
            status = 1;
            continue;
        }
        // The operand's directory is the caller's to name and may be reached through links
        // (a /proc/self/fd path, say); from there on nothing is followed.
        int dirfd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
        entry_stat parent;
        if (dirfd < 0 || !stat_entry(dirfd, ".", parent)) {
            if (errno == ENOENT && (options & OPT_FORCE)) {
                if (dirfd >= 0) (void)close(dirfd);
                continue;
            }
            report_errno("unable to remove %s", *operand);
            if (dirfd >= 0) (void)close(dirfd);
            status = 1;
            continue;
        }
        const Boundary boundary{parent.device, parent.mount};
        entry_stat st;
        if (!stat_entry(dirfd, name.c_str(), st)) {
            if (errno != ENOENT || !(options & OPT_FORCE)) {  // a missing operand is nothing to remove
                report_errno("unable to stat %s", *operand);
                status = 1;
            }
        } else if (!within(boundary, st)) {
            note_error(EXDEV);
            report_error("skipping %s, since it is on a different file system", *operand);
            status = 1;
        } else if (visit(dirfd, name, *operand, st, boundary) != 0) {
            status = 1;
        }
        (void)close(dirfd);
    }
    return status;
}

int prompt_file(int dirfd, const char *name, const char *path, entry_kind kind) {
    if (options & OPT_FORCE) {
        if (options & OPT_VERBOSE) {
            printf("removing %s\n", path);
            fflush(stdout);
        }
        if (kind == entry_kind::link) return 1;  // a link is never opened or made writable
        return check_writable(dirfd, name, path);
    }

    size_t question_size = strlen(path) + 80;
    std::unique_ptr<char, decltype(&free)> question(static_cast<char *>(malloc(question_size)), free);
    if (!question) {
        // The engine's fixed message, kept as it stands (its line number included).
        report_errno("Out of memory at line %d in prompt_file()", 69);
        return 0;
    }
    int answer = 1;
    int fd = -1;
    bool asked_write_protected = false;
    if (kind != entry_kind::link) {
        fd = openat(dirfd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == EACCES) {
            snprintf(question.get(), question_size, "Remove write protected file %s? ", path);
            answer = ask_yes(question.get()) ? check_writable(dirfd, name, path) : 0;
            asked_write_protected = true;
        }
    }
    if (!asked_write_protected && (options & OPT_INTERACTIVE)) {
        snprintf(question.get(), question_size, "Remove %s? ", path);
        answer = ask_yes(question.get());
    }
    if ((options & OPT_VERBOSE) && answer) printf("removing %s\n", path);
    if (fd >= 0) (void)close(fd);
    return answer;
}

int check_writable(int dirfd, const char *name, const char *path) {
    int fd = openat(dirfd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        (void)close(fd);
        return 1;
    }
    if (errno != EACCES) return 1;
    if (change_mode_at(dirfd, name, 0600) != 0) {
        report_errno("Unable to reset %s to writable (probably not owner) ... skipping", path);
        return 0;
    }
    return 1;
}

int ask_yes(const char *question) {
    char answer[4];
    printf("%s", question);
    fflush(stdout);
    if (!fgets(answer, sizeof answer, stdin)) return 0;
    return answer[0] == 'y';
}

int secure_remove_file_at(int dirfd, const char *name, const char *path) {
    entry_stat st;
    if (!stat_entry(dirfd, name, st)) return -1;
    if (!S_ISREG(st.mode)) return rename_unlink_at(dirfd, name, path);
    if (st.links > 1) {
        (void)rename_unlink_at(dirfd, name, path);
        errno = EMLINK;
        return -1;
    }

    at_stage(walk_stage::examined, dirfd, name);
    fork_fd = open_examined_file(dirfd, name, st);
    if (fork_fd < 0) return -1;
    struct stat opened;
    if (fstat(fork_fd, &opened) != 0) opened.st_blksize = 0;
    fork_length = opened.st_size;
    const uint32_t block = opened.st_blksize > 0 ? static_cast<uint32_t>(opened.st_blksize) : kFallbackBlockSize;
    // Whole blocks, enough for the file but no more than the largest buffer.
    const uint64_t wanted = (static_cast<uint64_t>(fork_length) + block - 1) / block * block;
    pass_buffer_size = static_cast<uint32_t>(std::max<uint64_t>(block, std::min<uint64_t>(wanted, kLargestPassBuffer / block * block)));
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[pass_buffer_size]);
    std::vector<extent> extents;
    auto fail = [&](int error) {
        (void)close(fork_fd);
        fork_fd = -1;
        pass_buffer = nullptr;
        fork_extents = nullptr;
        errno = error;
        return -1;
    };
    if (!buffer) return fail(ENOMEM);
    pass_buffer = buffer.get();

    struct statfs fs;
    if (fstatfs(fork_fd, &fs) != 0) {
        if (errno != ENOSYS) return fail(errno);
    } else if ((options & OPT_VERBOSE) && !is_local_filesystem(fork_fd, fs)) {
        printf("warning: %s is not on a local filesystem!\n", path);
        fflush(stdout);
    }
    if (has_protective_flags(fork_fd)) return fail(EPERM);

    // Only the data the file holds: writing its holes would allocate them, and a sparse
    // image could fill the volume without overwriting a byte of what it held.
    if (!data_extents(fork_fd, fork_length, extents)) return fail(errno);
    fork_extents = &extents;
    if (overwrite_fork() != 0) return fail(errno);  // data not wholly overwritten: keep it
    at_stage(walk_stage::overwritten, dirfd, name);
    // Data that someone wrote while the passes ran may lie where no pass reached it.
    struct stat after;
    if (fstat(fork_fd, &after) != 0) return fail(errno);
    if (after.st_size != opened.st_size || after.st_blocks > opened.st_blocks) return fail(EBUSY);
    if (!(options & OPT_OVERWRITE_ONLY) && ftruncate(fork_fd, 0) != 0) return fail(errno);
    (void)close(fork_fd);
    fork_fd = -1;
    pass_buffer = nullptr;
    fork_extents = nullptr;

    // Linux files have no resource fork: the data fork is the whole file.
    if (options & OPT_OVERWRITE_ONLY) return 0;
    return rename_unlink_at(dirfd, name, path);
}

int rename_unlink_at(int dirfd, const char *name, const char *path) {
    (void)path;
    char new_name[kRandomNameLength + 1];
    entry_stat st;
    do {
        for (int i = 0; i < kRandomNameLength; i++) {
            int byte;
            do byte = random_byte();
            while (!is_name_character(byte));
            new_name[i] = static_cast<char>(byte);
        }
        new_name[kRandomNameLength] = '\0';
    } while (stat_entry(dirfd, new_name, st) || errno != ENOENT);

    if (!stat_entry(dirfd, name, st)) return -1;
    if (S_ISDIR(st.mode)) {
        // A directory takes a random name only once it is empty, so that whatever could not
        // be removed is still found under its own name.
        if (st.links > 2 || !directory_is_empty(dirfd, name, st)) {
            errno = ENOTEMPTY;
            return -1;
        }
    }
    // Never replace something that appeared under the new name since the check above.
    if (renameat2(dirfd, name, dirfd, new_name, RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL) return -1;
        if (renameat(dirfd, name, dirfd, new_name) != 0) return -1;  // file system without NOREPLACE
    }
    flush_directory(dirfd);

    entry_stat moved;
    if (!stat_entry(dirfd, new_name, moved)) {
        // Another process took the object away after the rename. The server must survive
        // such a race: report it and fail this entry only.
        int saved = errno;
        perror("Fatal error in rename_unlink()");
        errno = saved;
        return -1;
    }
    if (!S_ISDIR(moved.mode)) return unlinkat(dirfd, new_name, 0);
    if (unlinkat(dirfd, new_name, AT_REMOVEDIR) == 0) return 0;
    // Something was put into it after the check: give it its name back.
    int saved = errno;
    (void)renameat2(dirfd, new_name, dirfd, name, RENAME_NOREPLACE);
    errno = saved;
    return -1;
}

namespace {

// Runs `call` on the directory part of `path` and its last component.
template <typename Call>
int at_path(const char *path, Call call) {
    std::string directory, name;
    split_path(path, directory, name);
    int dirfd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return -1;
    int result = call(dirfd, name.c_str());
    int saved = errno;
    (void)close(dirfd);
    errno = saved;
    return result;
}

}  // namespace

int secure_remove_file(const char *path) {
    return at_path(path, [&](int dirfd, const char *name) { return secure_remove_file_at(dirfd, name, path); });
}

int rename_unlink(const char *path) {
    return at_path(path, [&](int dirfd, const char *name) { return rename_unlink_at(dirfd, name, path); });
}

}  // namespace quillon::engine
