#include <fcntl.h>
#include <fts.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "secure_delete/engine.h"
#include "secure_delete/engine_platform.h"

namespace quillon::engine {

namespace {

constexpr int kRandomNameLength = 14;
constexpr uint32_t kFallbackBlockSize = 4096;  // for a file system that reports 0

bool is_name_character(int byte) {
    // isalnum of the C locale, without depending on the process's locale.
    return (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= 'a' && byte <= 'z');
}

}  // namespace

void strip_trailing_slashes(char *path) {
    size_t length = strlen(path);
    while (length > 1 && path[length - 1] == '/') path[--length] = '\0';
}

int remove_tree(char **operands) {
    for (char **operand = operands; *operand; operand++) {
        strip_trailing_slashes(*operand);
        if (strcmp(*operand, "/") == 0) {
            // Never walk the whole system, whatever a caller passes.
            errno = EINVAL;
            report_errno("unable to remove %s", *operand);
            return 1;
        }
    }

    FTS *walk = fts_open(operands, FTS_PHYSICAL | FTS_NOCHDIR, nullptr);
    if (!walk) {
        report_errno("fts_open() returned NULL");
        return 1;
    }
    int status = 0;
    for (;;) {
        errno = 0;
        FTSENT *entry = fts_read(walk);
        if (!entry) {
            if (errno != 0) status = 1;  // the walk broke off: not everything was seen
            break;
        }
        if (remove_entry(entry->fts_path, entry->fts_info) != 0) status = 1;
        if (!(options & OPT_RECURSIVE)) (void)fts_set(walk, entry, FTS_SKIP);
    }
    (void)fts_close(walk);
    return status;
}

int remove_entry(char *path, unsigned short info) {
    strip_trailing_slashes(path);
    switch (info) {
        case FTS_D:
        case FTS_DOT:
            return 0;
        case FTS_DEFAULT:
            // FIFOs, sockets and devices stay where they are: the entry is not removed.
            return 1;
        case FTS_DC:
            report_error("cyclic directory entry %s", path);
            return 1;
        case FTS_DNR:
            report_error("%s: permission denied", path);
            return 1;
        case FTS_DP:
            if (!(options & OPT_RECURSIVE)) {
                report_error("%s is a directory", path);
                return 1;
            }
            if (!prompt_file(path, FTS_DP)) return 0;
            if (rename_unlink(path) == -1) {
                report_errno("unable to remove %s", path);
                return 1;
            }
            return 0;
        case FTS_ERR:
            report_error("fts error on %s", path);
            return 1;
        case FTS_F:
        case FTS_SL:
        case FTS_SLNONE:
            if (!prompt_file(path, info)) return 0;
            if (secure_remove_file(path) == -1) {
                if (errno == EMLINK)
                    report_error("%s has multiple links, this one has been removed but not overwritten", path);
                else
                    report_errno("unable to remove %s", path);
                return 1;
            }
            return 0;
        case FTS_NS:
            if (options & OPT_FORCE) return 0;  // gone, or not ours to examine
            report_error("unable to stat %s", path);
            return 1;
        default:
            return 0;
    }
}

int prompt_file(const char *path, unsigned short info) {
    if (options & OPT_FORCE) {
        if (options & OPT_VERBOSE) {
            printf("removing %s\n", path);
            fflush(stdout);
        }
        if (info == FTS_SL) return 1;  // a link is never opened or made writable
        return check_writable(path);
    }

    size_t question_size = strlen(path) + 80;
    std::unique_ptr<char, decltype(&free)> question(static_cast<char *>(malloc(question_size)), free);
    if (!question) {
        report_errno("Out of memory at line %d in prompt_file()", 69);
        return 0;
    }
    int answer = 1;
    int fd = -1;
    bool asked_write_protected = false;
    if (info != FTS_SL) {
        fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && errno == EACCES) {
            snprintf(question.get(), question_size, "Remove write protected file %s? ", path);
            answer = ask_yes(question.get()) ? check_writable(path) : 0;
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

int check_writable(const char *path) {
    int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        (void)close(fd);
        return 1;
    }
    if (errno != EACCES) return 1;
    if (chmod(path, 0600) != 0) {
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

int secure_remove_file(const char *path) {
    struct stat st;
    if (lstat(path, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return rename_unlink(path);
    if (st.st_nlink > 1) {
        (void)rename_unlink(path);
        errno = EMLINK;
        return -1;
    }

    fork_length = st.st_size;
    pass_buffer_size = st.st_blksize > 0 ? static_cast<uint32_t>(st.st_blksize) : kFallbackBlockSize;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[pass_buffer_size]);
    if (!buffer) {
        errno = ENOMEM;
        return -1;
    }
    pass_buffer = buffer.get();

    fork_fd = open_examined_file(path, st);
    if (fork_fd < 0) {
        pass_buffer = nullptr;
        return -1;
    }
    auto fail = [](int error) {
        (void)close(fork_fd);
        fork_fd = -1;
        pass_buffer = nullptr;
        errno = error;
        return -1;
    };

    struct statfs fs;
    if (fstatfs(fork_fd, &fs) != 0) {
        if (errno != ENOSYS) return fail(errno);
    } else if ((options & OPT_VERBOSE) && !is_local_filesystem(fork_fd, fs)) {
        printf("warning: %s is not on a local filesystem!\n", path);
        fflush(stdout);
    }
    if (has_protective_flags(fork_fd)) return fail(EPERM);

    if (overwrite_fork() != 0) return fail(errno);  // data not wholly overwritten: keep it
    if (!(options & OPT_OVERWRITE_ONLY) && ftruncate(fork_fd, 0) != 0) return fail(errno);
    (void)close(fork_fd);
    fork_fd = -1;
    pass_buffer = nullptr;

    // Linux files have no resource fork: the data fork is the whole file.
    if (options & OPT_OVERWRITE_ONLY) return 0;
    return rename_unlink(path);
}

int rename_unlink(const char *path) {
    const char *slash = strrchr(path, '/');
    const size_t directory_length = slash ? static_cast<size_t>(slash - path + 1) : 0;
    std::unique_ptr<char[]> new_name(new (std::nothrow) char[directory_length + kRandomNameLength + 1]);
    if (!new_name) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(new_name.get(), path, directory_length);
    char *name = new_name.get() + directory_length;

    struct stat st;
    do {
        for (int i = 0; i < kRandomNameLength; i++) {
            int byte;
            do byte = random_byte();
            while (!is_name_character(byte));
            name[i] = static_cast<char>(byte);
        }
        name[kRandomNameLength] = '\0';
    } while (lstat(new_name.get(), &st) == 0);

    if (lstat(path, &st) != 0) return -1;
    if (S_ISDIR(st.st_mode) && st.st_nlink > 2) {
        errno = ENOTEMPTY;
        return -1;
    }
    // Never replace something that appeared under the new name since the check above.
    if (renameat2(AT_FDCWD, path, AT_FDCWD, new_name.get(), RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL) return -1;
        if (rename(path, new_name.get()) != 0) return -1;  // file system without NOREPLACE
    }
    sync();

    if (lstat(new_name.get(), &st) != 0) {
        // Another process took the object away after the rename. The server must survive
        // such a race: report it and fail this entry only.
        int saved = errno;
        perror("Fatal error in rename_unlink()");
        errno = saved;
        return -1;
    }
    return S_ISDIR(st.st_mode) ? rmdir(new_name.get()) : unlink(new_name.get());
}

}  // namespace quillon::engine
