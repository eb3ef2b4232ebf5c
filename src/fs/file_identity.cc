#include "fs/file_identity.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace quillon {

bool examineEntry(int dirfd, const char *name, FileIdentity &id, int flags) {
    struct statx sx;
    if (statx(dirfd, name, flags | AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE | STATX_INO | STATX_SIZE | STATX_MNT_ID, &sx) != 0)
        return false;
    id.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    id.inode = sx.stx_ino;
    id.mode = sx.stx_mode;
    id.size = sx.stx_size;
    id.hasMount = (sx.stx_mask & STATX_MNT_ID) != 0;
    id.mount = sx.stx_mnt_id;
    return true;
}

bool sameFileSystem(const FileIdentity &a, const FileIdentity &b) {
    return a.device == b.device && (!a.hasMount || !b.hasMount || a.mount == b.mount);
}

}  // namespace quillon
