// What an entry is on the disk, as the walks over trash items check it: device, inode, type
// and the mount it lies on (a bind mount shares its device with what it shows).
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace quillon {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    uint64_t size = 0;  // bytes, for a regular file or a link
    uint64_t links = 0;
    uint64_t mount = 0;
    bool hasMount = false;  // the kernel told the mount
};

// statx of `name` in the open folder `dirfd`, links not followed, nothing automounted (or,
// with AT_EMPTY_PATH and "", of `dirfd` itself). False with errno when it cannot be examined.
bool examineEntry(int dirfd, const char *name, FileIdentity &id, int flags = 0);

// Opens `name` of `dirfd` with `flags` (O_NOFOLLOW and O_CLOEXEC added) when it is still the
// entry examined as `examined`: same type, device and inode, checked on the descriptor opened.
// Else -1 with errno (ESTALE: something else is there now).
int openExamined(int dirfd, const char *name, int flags, const FileIdentity &examined);

// Whether two entries lie on the same mounted file system.
bool sameFileSystem(const FileIdentity &a, const FileIdentity &b);

}  // namespace quillon
