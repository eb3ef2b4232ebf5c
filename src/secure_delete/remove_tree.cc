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

#include "fs/safe_walk.h"
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

// The engine's walk over one operand: its messages, its prompts and its random names on the
// one safe walk.
class Walk : public SafeWalk {
 protected:
    bool onEnterDir(const Entry &entry) override {
        if (!(options & OPT_RECURSIVE)) {
            note_error(EISDIR);
            report_error("%s is a directory", entry.path.c_str());
            return false;
        }
        at_stage(walk_stage::examined, entry.dirfd, entry.name);
        return true;
    }

    bool onFile(const Entry &entry) override {
        const FileIdentity &st = entry.id;
        const char *path = entry.path.c_str();
        if (!S_ISREG(st.mode) && !S_ISLNK(st.mode)) {  // FIFOs, sockets and devices stay, silently
            note_error(ENOTSUP);
            return false;
        }
        const entry_kind kind = S_ISLNK(st.mode) ? entry_kind::link : entry_kind::file;
        if (!prompt_file(entry.dirfd, entry.name, path, kind)) return false;  // skipped: still there
        if (secure_remove_file_at(entry.dirfd, entry.name, path) == -1) {
            if (errno == EMLINK) {
                note_error(EMLINK);
                report_error("%s has multiple links, this one has been removed but not overwritten", path);
            } else
                report_errno("unable to remove %s", path);
            return false;
        }
        return true;
    }

    bool onLeaveDir(const Entry &entry, bool failed) override {
        const char *path = entry.path.c_str();
        if (failed) {
            // What stays inside keeps the directory, under its own name.
            errno = ENOTEMPTY;
            report_errno("unable to remove %s", path);
            return false;
        }
        if (!prompt_file(entry.dirfd, entry.name, path, entry_kind::directory)) return false;
        if (rename_unlink_at(entry.dirfd, entry.name, path) == -1) {
            report_errno("unable to remove %s", path);
            return false;
        }
        return true;
    }

    void onTrouble(Trouble trouble, const Entry &entry) override {
        const char *path = entry.path.c_str();
        switch (trouble) {
            case Trouble::examine:
                report_errno("unable to stat %s", path);
                break;
            case Trouble::otherFileSystem:
                note_error(EXDEV);
                report_error("skipping %s, since it is on a different file system", path);
                break;
            case Trouble::list:
                note_error(EACCES);
                report_error("%s: permission denied", path);
                break;
            case Trouble::open:   // swapped for something else since it was examined: never followed
            case Trouble::climb:  // the tree was moved while we worked in it: the walk stops
                report_errno("unable to remove %s", path);
                break;
        }
    }
};

// The pass state of one file, cleared on every way out of its overwrite.
struct PassState {
    explicit PassState(int fd) { fork_fd = fd; }
    ~PassState() {
        const int saved = errno;
        if (fork_fd >= 0) (void)close(fork_fd);
        fork_fd = -1;
        pass_buffer = nullptr;
        fork_extents = nullptr;
        errno = saved;
    }
    PassState(const PassState &) = delete;
    PassState &operator=(const PassState &) = delete;
};

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
        splitPath(*operand, directory, name);
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
        FileIdentity parent;
        if (dirfd < 0 || !examineEntry(dirfd, ".", parent)) {
            if (errno == ENOENT && (options & OPT_FORCE)) {
                if (dirfd >= 0) (void)close(dirfd);
                continue;
            }
            report_errno("unable to remove %s", *operand);
            if (dirfd >= 0) (void)close(dirfd);
            status = 1;
            continue;
        }
        FileIdentity st;
        if (!examineEntry(dirfd, name.c_str(), st)) {
            if (errno != ENOENT || !(options & OPT_FORCE)) {  // a missing operand is nothing to remove
                report_errno("unable to stat %s", *operand);
                status = 1;
            }
        } else if (!sameFileSystem(st, parent)) {
            note_error(EXDEV);
            report_error("skipping %s, since it is on a different file system", *operand);
            status = 1;
        } else if (!Walk().walk(dirfd, name, *operand, st, parent)) {
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
    FileIdentity st;
    if (!examineEntry(dirfd, name, st)) return -1;
    if (!S_ISREG(st.mode)) return rename_unlink_at(dirfd, name, path);
    if (st.links > 1) {
        (void)rename_unlink_at(dirfd, name, path);
        errno = EMLINK;
        return -1;
    }

    at_stage(walk_stage::examined, dirfd, name);
    const int fd = open_examined_file(dirfd, name, st);
    if (fd < 0) return -1;
    {  // the pass state lives as long as this block
        const PassState pass(fd);
        struct stat opened;
        if (fstat(fork_fd, &opened) != 0) opened.st_blksize = 0;
        fork_length = opened.st_size;
        const uint32_t block = opened.st_blksize > 0 ? static_cast<uint32_t>(opened.st_blksize) : kFallbackBlockSize;
        // Whole blocks, enough for the file but no more than the largest buffer.
        const uint64_t wanted = (static_cast<uint64_t>(fork_length) + block - 1) / block * block;
        pass_buffer_size = static_cast<uint32_t>(std::max<uint64_t>(block, std::min<uint64_t>(wanted, kLargestPassBuffer / block * block)));
        std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[pass_buffer_size]);
        std::vector<extent> extents;
        auto fail = [](int error) {
            errno = error;  // kept through the pass state's clearing
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
    }

    // Linux files have no resource fork: the data fork is the whole file.
    if (options & OPT_OVERWRITE_ONLY) return 0;
    return rename_unlink_at(dirfd, name, path);
}

int rename_unlink_at(int dirfd, const char *name, const char *path) {
    (void)path;
    char new_name[kRandomNameLength + 1];
    FileIdentity st;
    do {
        for (int i = 0; i < kRandomNameLength; i++) {
            int byte;
            do byte = random_byte();
            while (!is_name_character(byte));
            new_name[i] = static_cast<char>(byte);
        }
        new_name[kRandomNameLength] = '\0';
    } while (examineEntry(dirfd, new_name, st) || errno != ENOENT);

    if (!examineEntry(dirfd, name, st)) return -1;
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

    FileIdentity moved;
    if (!examineEntry(dirfd, new_name, moved)) {
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
    splitPath(path, directory, name);
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
