// Where the user's trash folders are: the FreeDesktop.org trash, version 1.0.
#pragma once

#include <sys/types.h>

#include <optional>
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

// A trash "files" folder found, and what it is on the disk.
struct TrashLocation {
    std::string files;
    dev_t device;
    ino_t inode;
};

// The home trash's files folder (`dataFolder`/Trash/files), when it exists.
std::optional<TrashLocation> homeTrashFolder(const std::string &dataFolder);
// The mounts of the table that may hold a trash of the user's, in table order, each mount
// point once: no system file systems unless marked x-gvfs-trash, none marked x-gvfs-notrash.
std::vector<MountEntry> trashMounts(const std::string &mountTable);
// The user's trash files folder on `mount`, when it exists: $topdir/.Trash/$uid/files when
// $topdir/.Trash is a real directory with the sticky bit and $uid a directory of the user's,
// else $topdir/.Trash-$uid/files when that is a directory of the user's. Links are never
// accepted in place of these directories; nothing is created. Examines the mount's top
// folder, so it blocks while the mount does not answer.
std::optional<TrashLocation> mountTrashFolder(const MountEntry &mount, uid_t uid);
// Both places where `mount` may keep the user's trash files folder, whether they exist or not.
std::vector<std::string> mountTrashCandidates(const MountEntry &mount, uid_t uid);

}  // namespace quillon
