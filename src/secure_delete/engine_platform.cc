#include "secure_delete/engine_platform.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fs/directory_listing.h"

namespace quillon::engine {

bool directory_is_empty(int dirfd, const char *name, const FileIdentity &examined) {
    int fd = openExamined(dirfd, name, O_RDONLY | O_DIRECTORY | O_NONBLOCK, examined);
    if (fd < 0) return false;
    bool empty = true;
    const bool listed = forEachEntry(fd, [&](const DirectoryEntry &) { empty = false; }, true);
    (void)close(fd);
    return listed && empty;
}

int open_examined_file(int dirfd, const char *name, const FileIdentity &examined) {
    return openExamined(dirfd, name, O_WRONLY | O_NONBLOCK, examined);
}

int change_mode_at(int dirfd, const char *name, mode_t mode) {
    // Pinned first without following anything, then changed through the pinned object.
    int fd = openat(dirfd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    int result = -1;
    // Only a file that lives in this directory alone: a hard link to a file elsewhere,
    // swapped in since the walk examined the entry, must not have its mode changed.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
        char proc_path[64];
        snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
        result = chmod(proc_path, mode);
    } else {
        errno = EPERM;
    }
    int saved = errno;
    (void)close(fd);
    errno = saved;
    return result;
}

bool data_extents(int fd, off_t length, std::vector<extent> &extents) {
    extents.clear();
    off_t at = 0;
    while (at < length) {
        off_t data = lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // only a hole up to the end
            if (errno == EINVAL && at == 0) {
                extents.push_back({0, length});  // cannot tell holes apart: all of it
                return true;
            }
            return false;
        }
        if (data >= length) break;
        off_t hole = lseek(fd, data, SEEK_HOLE);
        if (hole < 0) return false;
        if (hole > length) hole = length;
        extents.push_back({data, hole});
        at = hole;
    }
    (void)lseek(fd, 0, SEEK_SET);
    return true;
}

bool has_protective_flags(int fd) {
    int flags = 0;
    if (ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return false;
    return (flags & (FS_IMMUTABLE_FL | FS_APPEND_FL)) != 0;
}

namespace {

// f_type values of network file systems (linux/magic.h and the file systems' own headers).
constexpr unsigned long kNetworkMagics[] = {
    0x6969,      // NFS
    0x517B,      // SMB
    0xFF534D42,  // CIFS
    0xFE534D42,  // SMB2
    0x5346414F,  // AFS (OpenAFS)
    0x6B414653,  // kAFS
    0x00C36400,  // Ceph
    0x73757245,  // Coda
    0x564C,      // NCP
    0x0BD00BD0,  // Lustre
    0x47504653,  // GPFS
    0x013111A8,  // IBRIX
    0x19830326,  // FhGFS / BeeGFS
    0x61636673,  // ACFS
    0xAAD7AAEA,  // PanFS
};
constexpr unsigned long kFuseMagic = 0x65735546;

// The file system type of the mount that holds device `dev`, from /proc/self/mountinfo.
bool mount_type_of(dev_t dev, char *type, size_t size) {
    FILE *table = fopen("/proc/self/mountinfo", "re");
    if (!table) return false;
    char *line = nullptr;
    size_t capacity = 0;
    bool found = false;
    while (!found && getline(&line, &capacity, table) > 0) {
        unsigned major_id, minor_id;
        if (sscanf(line, "%*s %*s %u:%u", &major_id, &minor_id) != 2) continue;
        if (makedev(major_id, minor_id) != dev) continue;
        const char *separator = strstr(line, " - ");
        if (!separator) continue;
        found = sscanf(separator + 3, "%63s", type) == 1 && size >= 64;
    }
    free(line);
    (void)fclose(table);
    return found;
}

}  // namespace

bool is_local_filesystem(int fd, const struct statfs &fs) {
    const auto magic = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFul;
    for (unsigned long network : kNetworkMagics)
        if (magic == network) return false;
    if (magic != kFuseMagic) return true;
    struct stat st;
    char type[64];
    if (fstat(fd, &st) != 0 || !mount_type_of(st.st_dev, type, sizeof type)) return true;
    return strcmp(type, "fuseblk") == 0;
}

}  // namespace quillon::engine

namespace quillon::engine {

void flush_file_system(int fd) {
    // fsync on ext4, xfs and btrfs with their default mount options ends in a flush of the
    // drive's volatile write cache, so no device-level cache request is needed here.
    (void)fsync(fd);
    (void)syncfs(fd);
}

void flush_directory(int dirfd) { (void)syncfs(dirfd); }

}  // namespace quillon::engine
