// Where the user's trash folders are: the FreeDesktop.org trash, version 1.0.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quillon {

struct MountEntry {
    std::string mountPoint;  // unescaped
    std::string type;        // file system type, "ext4", "fuse.sshfs", ...
    std::string options;     // per-mount options then super options, comma-separated
};

// The entries of a mount table in /proc/self/mountinfo form, in table order. Lines that do
// not parse are skipped.
std::vector<MountEntry> parseMountTable(const std::string &text);

// True for pseudo and system-internal file systems that never hold a user's trash.
bool isSystemFileSystem(const std::string &type);

// The "files" folders of the user's trash folders, home trash first
// (`dataFolder`/Trash/files), then each mount's in table order: $topdir/.Trash/$uid/files
// when $topdir/.Trash is a real directory with the sticky bit and $uid a directory of the
// user's, else $topdir/.Trash-$uid/files when that is a directory of the user's. Links are
// never accepted in place of these directories. Each folder is listed once (by device and
// inode), only when it exists; nothing is created.
std::vector<std::string> userTrashFolders(const std::string &dataFolder, const std::string &mountTable,
                                          uid_t uid);

}  // namespace quillon
