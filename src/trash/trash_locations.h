// Where the user's trash folders are: the FreeDesktop.org trash, version 1.0.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "fs/directory_listing.h"

namespace quillon {

struct MountEntry {
    std::string mountPoint;  // unescaped
    std::string type;        // file system type, "ext4", "fuse.sshfs", ...
    std::string options;     // per-mount options then super options, comma-separated
    uint64_t id = 0;         // the mount's id, as statx reports it (STATX_MNT_ID)
    dev_t device = 0;        // its file system's device
};

// The entries of a mount table in /proc/self/mountinfo form, in table order. Lines that do
// not parse are skipped.
std::vector<MountEntry> parseMountTable(const std::string &text);

// True for pseudo and system-internal file systems that never hold a user's trash.
bool isSystemFileSystem(const std::string &type);

// A trash "files" folder found, held open, and what it is on the disk. Its path is for
// messages and records only: what is listed and removed is reached through `folder`.
struct TrashLocation {
    std::string files;
    dev_t device;
    ino_t inode;
    std::shared_ptr<PinnedFolder> folder;  // open
};

// Trash folders are reached one step at a time from a descriptor already trusted, each step
// opened without following a link and checked on the descriptor it gave, never by a path
// looked up twice: a network or FUSE volume answers every look-up afresh, and a folder it
// answers as ours to one look-up may be a link to any folder of the user's at the next.

// The home trash's files folder, when it exists: `dataFolder` (the user's own setting, links
// in it followed), then Trash, then files, each a real directory.
std::optional<TrashLocation> homeTrashFolder(const std::string &dataFolder);
// The mounts of the table that may hold a trash of the user's, in table order, each mount
// point once: no system file systems unless marked x-gvfs-trash, none marked x-gvfs-notrash.
std::vector<MountEntry> trashMounts(const std::string &mountTable);
// The user's trash files folder on `mount`, when it exists: $topdir/.Trash/$uid/files when
// $topdir/.Trash is a real directory with the sticky bit and $uid a directory of the user's,
// else $topdir/.Trash-$uid/files when that is a directory of the user's. The top is the
// mount's own root (its mount id, else its device, is the table's), and every step below it is
// a real directory on the top's device: links are never accepted in place of these
// directories; nothing is created. Examines the mount's top folder, so it blocks while the
// mount does not answer.
std::optional<TrashLocation> mountTrashFolder(const MountEntry &mount, uid_t uid);
// A volume's identity, by which the user's choice for it is kept: "uuid:" and its file
// system's UUID where it has one (Environment::volumeUuid), so that a stick keeps its choice
// wherever it is mounted, else "mount:" and its mount point. Touches no volume.
std::string volumeId(const MountEntry &mount);
// The mount of `mountTable` (any type) on `device` that holds `path`: the one with the longest
// mount point above `path` or at it (the last of the table for one mount point), else the
// last on `device` (a path through a link). Nullopt when no mount is on `device`.
std::optional<MountEntry> mountHolding(const std::string &mountTable, const std::string &path, dev_t device);
// Both places where `mount` may keep the user's trash files folder, whether they exist or not.
std::vector<std::string> mountTrashCandidates(const MountEntry &mount, uid_t uid);

}  // namespace quillon
