#include "trash/trash_locations.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>
#include <utility>

#include "env/environment.h"
#include "fs/file_identity.h"

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

constexpr int kStepFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// An open descriptor, closed when it goes unless released.
struct Held {
    int fd = -1;
    explicit Held(int opened = -1) : fd(opened) {}
    Held(Held &&other) noexcept : fd(other.release()) {}
    Held &operator=(Held &&other) noexcept {
        std::swap(fd, other.fd);
        return *this;
    }
    ~Held() {
        if (fd >= 0) close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};

// `name` in the open folder `dir` as a real directory (a link there is not followed), on
// `device` unless it is 0, with what fstat says of the very folder opened in `st`.
Held step(int dir, const char *name, struct stat &st, dev_t device = 0) {
    Held folder(dir >= 0 ? openat(dir, name, kStepFlags) : -1);
    if (folder.fd >= 0 && (fstat(folder.fd, &st) != 0 || !S_ISDIR(st.st_mode) || (device != 0 && st.st_dev != device)))
        return Held();
    return folder;
}

std::optional<TrashLocation> located(const std::string &files, Held folder, const struct stat &st) {
    if (folder.fd < 0) return std::nullopt;
    return TrashLocation{files, st.st_dev, st.st_ino, std::make_shared<PinnedFolder>(files, folder.release())};
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
        unsigned major = 0, minor = 0;
        (void)sscanf(device.c_str(), "%u:%u", &major, &minor);
        entries.push_back({unescape(mount_point), type, options + "," + super_options, strtoull(id.c_str(), nullptr, 10),
                           makedev(major, minor)});
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
    const Held data(open(dataFolder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    const Held trash = step(data.fd, "Trash", st);
    return located(dataFolder + "/Trash/files", step(trash.fd, "files", st), st);
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

std::string volumeId(const MountEntry &mount) {
    const std::string uuid = Environment::current().volumeUuid(mount.device);
    return uuid.empty() ? "mount:" + mount.mountPoint : "uuid:" + uuid;
}

std::optional<MountEntry> mountHolding(const std::string &mountTable, const std::string &path, dev_t device) {
    // A path through a link may name no mount above it: then the device alone tells.
    std::optional<MountEntry> holding, onDevice;
    for (MountEntry &mount : parseMountTable(mountTable)) {
        if (mount.device != device) continue;
        const std::string top = topOf(mount) + "/";
        if (path == mount.mountPoint || path.compare(0, top.size(), top) == 0) {
            if (!holding || mount.mountPoint.size() >= holding->mountPoint.size()) holding = mount;
        }
        onDevice = std::move(mount);
    }
    return holding ? holding : onDevice;
}

std::vector<std::string> mountTrashCandidates(const MountEntry &mount, uid_t uid) {
    const std::string user = std::to_string(uid);
    return {topOf(mount) + "/.Trash/" + user + "/files", topOf(mount) + "/.Trash-" + user + "/files"};
}

std::optional<TrashLocation> mountTrashFolder(const MountEntry &mount, uid_t uid) {
    // The mount point itself comes from the mount table; what is found there must be that
    // mount's root, not a folder of whatever lies below a volume gone since.
    const Held top(open(mount.mountPoint.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    FileIdentity root;
    if (top.fd < 0 || !examineEntry(top.fd, "", root, AT_EMPTY_PATH)) return std::nullopt;
    // The mount id is exact where the kernel tells it; btrfs shows each subvolume's device in
    // place of the table's.
    if (root.hasMount ? root.mount != mount.id : root.device != mount.device) return std::nullopt;
    const std::vector<std::string> candidates = mountTrashCandidates(mount, uid);
    const std::string user = std::to_string(uid);
    struct stat st;
    const Held shared = step(top.fd, ".Trash", st, root.device);
    if (shared.fd >= 0 && (st.st_mode & S_ISVTX)) {
        Held own = step(shared.fd, user.c_str(), st, root.device);
        if (own.fd >= 0 && st.st_uid == uid) return located(candidates[0], step(own.fd, "files", st, root.device), st);
    }
    const Held own = step(top.fd, (".Trash-" + user).c_str(), st, root.device);
    if (own.fd < 0 || st.st_uid != uid) return std::nullopt;
    return located(candidates[1], step(own.fd, "files", st, root.device), st);
}

}  // namespace quillon
