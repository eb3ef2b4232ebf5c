#include "platform/trash_locations.h"

#include <sys/stat.h>

#include <set>
#include <sstream>
#include <utility>

namespace quillon {

namespace {

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescape(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        auto octal = [&](size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

bool hasOption(const std::string &options, const std::string &name) {
    std::stringstream list(options);
    std::string option;
    while (std::getline(list, option, ','))
        if (option == name) return true;
    return false;
}

// A real directory (not a link) at `path`.
bool isDirectory(const std::string &path, struct stat *st) {
    return lstat(path.c_str(), st) == 0 && S_ISDIR(st->st_mode);
}

}  // namespace

std::vector<MountEntry> parseMountTable(const std::string &text) {
    std::vector<MountEntry> entries;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mount-point options [optional...] - type source super-options
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point, options, field;
        if (!(fields >> id >> parent >> device >> root >> mount_point >> options)) continue;
        while (fields >> field && field != "-") {
        }
        if (field != "-") continue;
        std::string type, source, super_options;
        if (!(fields >> type)) continue;
        fields >> source >> super_options;
        entries.push_back({unescape(mount_point), type, options + "," + super_options});
    }
    return entries;
}

bool isSystemFileSystem(const std::string &type) {
    static const std::set<std::string> kSystemTypes = {
        "autofs",  "binfmt_misc", "bpf",      "cgroup",     "cgroup2",   "configfs", "debugfs",
        "devpts",  "devtmpfs",    "efivarfs", "fusectl",    "hugetlbfs", "mqueue",   "nsfs",
        "nfsd",    "overlay",     "proc",     "pstore",     "ramfs",     "rootfs",   "rpc_pipefs",
        "securityfs", "selinuxfs", "squashfs", "sysfs",     "tracefs",   "fuse.portal", "fuse.gvfsd-fuse",
    };
    return kSystemTypes.count(type) != 0;
}

std::optional<TrashLocation> homeTrashFolder(const std::string &dataFolder) {
    struct stat st;
    if (!isDirectory(dataFolder + "/Trash", &st) || !isDirectory(dataFolder + "/Trash/files", &st)) return std::nullopt;
    return TrashLocation{dataFolder + "/Trash/files", st.st_dev, st.st_ino};
}

std::vector<MountEntry> trashMounts(const std::string &mountTable) {
    std::vector<MountEntry> mounts;
    std::set<std::string> mount_points;
    for (MountEntry &mount : parseMountTable(mountTable)) {
        if (!mount_points.insert(mount.mountPoint).second) continue;
        if (hasOption(mount.options, "x-gvfs-notrash")) continue;
        if (isSystemFileSystem(mount.type) && !hasOption(mount.options, "x-gvfs-trash")) continue;
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

namespace {
std::string topOf(const MountEntry &mount) { return mount.mountPoint == "/" ? "" : mount.mountPoint; }
}  // namespace

std::vector<std::string> mountTrashCandidates(const MountEntry &mount, uid_t uid) {
    const std::string user = std::to_string(uid);
    return {topOf(mount) + "/.Trash/" + user + "/files", topOf(mount) + "/.Trash-" + user + "/files"};
}

std::optional<TrashLocation> mountTrashFolder(const MountEntry &mount, uid_t uid) {
    const std::string top = topOf(mount);
    const std::string user = std::to_string(uid);
    struct stat st;
    const std::string shared = top + "/.Trash";
    std::string files;
    if (isDirectory(shared, &st) && (st.st_mode & S_ISVTX) && isDirectory(shared + "/" + user, &st) && st.st_uid == uid) {
        files = shared + "/" + user + "/files";
    } else {
        const std::string own = top + "/.Trash-" + user;
        if (!isDirectory(own, &st) || st.st_uid != uid) return std::nullopt;
        files = own + "/files";
    }
    if (!isDirectory(files, &st)) return std::nullopt;
    return TrashLocation{files, st.st_dev, st.st_ino};
}

}  // namespace quillon
