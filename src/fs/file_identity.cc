#include "fs/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace quillon {

bool examineEntry(int dirfd, const char *name, FileIdentity &id, int flags) {
    struct statx sx;
    if (statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO | STATX_SIZE | STATX_NLINK | STATX_MNT_ID, &sx) != 0)
        return false;
    id.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    id.inode = sx.stx_ino;
    id.mode = sx.stx_mode;
    id.size = sx.stx_size;
    id.links = sx.stx_nlink;
    id.hasMount = (sx.stx_mask & STATX_MNT_ID) != 0;
    id.mount = sx.stx_mnt_id;
    return true;
}

int openExamined(int dirfd, const char *name, int flags, const FileIdentity &examined) {
    const int fd = openat(dirfd, name, flags | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    FileIdentity now;
    if (!examineEntry(fd, "", now, AT_EMPTY_PATH)) {
        const int why = errno;
        close(fd);
        errno = why;
        return -1;
    }
    if ((now.mode & S_IFMT) != (examined.mode & S_IFMT) || now.device != examined.device || now.inode != examined.inode) {
        close(fd);
        errno = ESTALE;
        return -1;
    }
    return fd;
}

bool sameFileSystem(const FileIdentity &a, const FileIdentity &b) {
    return a.device == b.device && (!a.hasMount || !b.hasMount || a.mount == b.mount);
}

}  // namespace quillon
