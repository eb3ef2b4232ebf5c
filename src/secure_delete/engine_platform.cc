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

namespace quillon::engine {

int open_examined_file(const char *path, const struct stat &examined) {
    int fd = open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat now;
    if (fstat(fd, &now) != 0) {
        int saved = errno;
        (void)close(fd);
        errno = saved;
        return -1;
    }
    if (!S_ISREG(now.st_mode) || now.st_dev != examined.st_dev || now.st_ino != examined.st_ino) {
        (void)close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
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
