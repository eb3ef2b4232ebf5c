#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/directory_listing.h"
#include "platform/log.h"

namespace quillon {

namespace {

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

std::string folderOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool writeFileAtomically(const std::string &path, const std::string &data) {
    std::string temporary = path + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return false;
    bool ok = writeAll(fd, data.data(), data.size()) && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        (void)unlink(temporary.c_str());
        errno = saved;
        return false;
    }
    // Make the rename itself durable.
    int folder = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        (void)fsync(folder);
        (void)close(folder);
    }
    return true;
}

void removeStaleTemporaries(const std::string &path) {
    const std::string folder = folderOf(path);
    const std::string prefix = path.substr(path.rfind('/') + 1) + ".";
    for (const std::string &name : listFolder(folder)) {
        // mkostemp's suffix: six letters and digits.
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                        [](char c) { return isalnum(static_cast<unsigned char>(c)); }))
            (void)unlinkat(AT_FDCWD, (folder + "/" + name).c_str(), 0);
    }
}

std::optional<std::string> readWholeFile(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string contents;
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) contents.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return std::nullopt;
        }
        if (n == 0) break;
        contents.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return contents;
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
