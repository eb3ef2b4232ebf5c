#include "fs/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/log.h"
#include "fs/blocking_work.h"
#include "fs/directory_listing.h"
#include "fs/safe_walk.h"

namespace quillon {

namespace {

constexpr char kTemporaryMark[] = ".quillon-tmp-";
constexpr size_t kTemporarySuffix = 6;

// A new file `name` + mark + six letters or digits in `dirfd`, created exclusively.
int createTemporary(int dirfd, const std::string &name, std::string &temporary) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; attempt++) {
        unsigned char bytes[kTemporarySuffix];
        if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
            for (auto &byte : bytes) byte = static_cast<unsigned char>(rand());
        temporary = name + kTemporaryMark;
        for (unsigned char byte : bytes) temporary += kAlphabet[byte % (sizeof kAlphabet - 1)];
        int fd = openat(dirfd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

bool isRegular(int fd, size_t largest, struct stat &st) {
    if (fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > largest) {
        errno = EFBIG;
        return false;
    }
    return true;
}

// `fd`, when it is a regular file of at most `largest` bytes; else closed, -1 with errno.
int checkedForReading(int fd, size_t largest, struct stat &st) {
    if (fd < 0 || isRegular(fd, largest, st)) return fd;
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

std::optional<std::string> readOpened(int opened, size_t largest) {
    struct stat st;
    const int fd = checkedForReading(opened, largest, st);
    if (fd < 0) return std::nullopt;
    auto contents = readFromStart(fd, largest, static_cast<size_t>(st.st_size));
    int saved = errno;
    close(fd);
    errno = saved;
    return contents;
}

bool writeAtomically(int dirfd, const std::string &name, const std::function<bool(int fd)> &write) {
    std::string temporary;
    int fd = createTemporary(dirfd, name, temporary);
    if (fd < 0) return false;
    bool ok = write(fd) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && renameat(dirfd, temporary.c_str(), dirfd, name.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        (void)unlinkat(dirfd, temporary.c_str(), 0);
        errno = saved;
        return false;
    }
    (void)fsync(dirfd);  // make the rename itself durable
    return true;
}

std::function<bool(int)> writerOf(const std::string &data) {
    return [&data](int fd) { return writeAll(fd, data.data(), data.size()); };
}

}  // namespace

bool writeAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool writeFileAtomicallyAt(int dirfd, const std::string &name, const std::string &data) {
    return writeAtomically(dirfd, name, writerOf(data));
}

bool writeFileAtomicallyAt(int dirfd, const std::string &name, const std::function<bool(int fd)> &write) {
    return writeAtomically(dirfd, name, write);
}

bool writeFileAtomically(const std::string &path, const std::function<bool(int fd)> &write) {
    std::string folder, name;
    splitPath(path, folder, name);
    int dirfd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirfd < 0) return false;
    bool ok = writeAtomically(dirfd, name, write);
    int saved = errno;
    close(dirfd);
    errno = saved;
    return ok;
}

bool writeFileAtomically(const std::string &path, const std::string &data) {
    return writeFileAtomically(path, writerOf(data));
}

void removeStaleTemporaries(const std::string &path) {
    std::string folder, name;
    splitPath(path, folder, name);
    const std::string prefix = name + kTemporaryMark;
    for (const std::string &entry : listFolder(folder)) {
        if (entry.size() != prefix.size() + kTemporarySuffix || entry.compare(0, prefix.size(), prefix) != 0) continue;
        if (std::all_of(entry.begin() + static_cast<long>(prefix.size()), entry.end(),
                        [](char c) { return isalnum(static_cast<unsigned char>(c)); }))
            (void)unlinkat(AT_FDCWD, (folder + "/" + entry).c_str(), 0);
    }
}

std::optional<std::string> readWholeFile(const std::string &path, size_t largest) {
    return readOpened(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), largest);
}

std::optional<std::string> readWholeFileAt(int dirfd, const std::string &name, size_t largest) {
    return readOpened(openat(dirfd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC), largest);
}

std::optional<std::string> readFromStart(int fd, size_t largest, size_t expected) {
    std::string contents;
    contents.reserve(std::min(expected, largest));
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) return contents;
        if (contents.size() + static_cast<size_t>(n) > largest) {  // grew while we read
            errno = EFBIG;
            return std::nullopt;
        }
        contents.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

int openForReading(const std::string &path, size_t largest) {
    struct stat st;
    return checkedForReading(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), largest, st);
}

int openForReadingAt(int dirfd, const std::string &name, size_t largest) {
    struct stat st;
    return checkedForReading(openat(dirfd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC), largest, st);
}

bool forEachLine(int fd, size_t largest, const std::function<bool(std::string_view piece, bool ends)> &piece) {
    constexpr size_t kBuffer = 64 << 10;
    const std::unique_ptr<char[]> buffer(new char[kBuffer]);
    char *const start = buffer.get();
    size_t held = 0;  // the beginning of a line whose end has not been read yet
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, start + held, kBuffer - held, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        noteProgress();
        if (n == 0) return held == 0 || piece({start, held}, true);
        at += n;
        if (static_cast<uint64_t>(at) > largest) {
            errno = EFBIG;
            return false;
        }
        const char *const filled = start + held + n;
        const char *line = start;
        for (const char *end; (end = static_cast<const char *>(memchr(line, '\n', filled - line))) != nullptr; line = end + 1)
            if (!piece({line, static_cast<size_t>(end - line)}, true)) return false;
        held = static_cast<size_t>(filled - line);
        if (held == kBuffer) {  // one line fills the buffer: hand on what there is of it
            if (!piece({start, held}, false)) return false;
            held = 0;
        } else {
            memmove(start, line, held);
        }
    }
}

std::string readErrorText(int error) {
    if (error == EINVAL) return "not a regular file";
    if (error == EFBIG) return "too large to be one of ours";
    return strerror(error);
}

bool ensureFolder(const std::string &folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            logMessage("could not make %s: %s", part.c_str(), strerror(errno));
            return false;
        }
        if (slash == std::string::npos) break;
    }
    return examinePath(folder) == PathKind::kDirectory;
}

PathKind examinePath(const std::string &path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return PathKind::kMissing;
    return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

}  // namespace quillon
