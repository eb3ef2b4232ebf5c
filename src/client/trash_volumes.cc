#include "client/trash_volumes.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <memory>

#include "env/environment.h"
#include "fs/blocking_work.h"
#include "fs/child_work.h"
#include "trash/item_sizes.h"
#include "trash/trash_locations.h"

namespace quillon {

namespace {

// What the open trash folder of `location` holds, and its volume's free space.
TrashVolume measured(const TrashLocation &location) {
    TrashVolume volume;
    volume.files = location.files;
    std::vector<std::string> names = location.folder->list();
    std::erase_if(names, [](const std::string &name) { return name.empty() || name[0] == '.'; });  // as a scan skips them
    ItemSizes sizes(*location.folder);
    sizes.willMeasure(names);
    for (const std::string &name : names) {
        const auto bytes = sizes.bytes(name);
        volume.bytes += bytes.value_or(0);
        volume.someUnknown = volume.someUnknown || !bytes;
        noteProgress();
    }
    volume.items = names.size();
    struct statvfs st {};
    if (fstatvfs(location.folder->fd(), &st) == 0) volume.freeBytes = uint64_t{st.f_bavail} * st.f_frsize;
    return volume;
}

// A trash found and measured, and which folder it is (bind mounts show one folder twice).
struct Found {
    TrashVolume volume;
    std::pair<dev_t, ino_t> folder;
};

std::optional<Found> lookAt(const std::optional<TrashLocation> &location) {
    if (!location) return std::nullopt;
    return Found{measured(*location), {location->device, location->inode}};
}

// Whether there is a trash, then its facts, as a child of child_work.h sends them: one order
// for writing and reading.
template <typename Io>
void fields(Io &io, bool &present, Found &found) {
    io(present);
    io(found.folder.first);
    io(found.folder.second);
    io(found.volume.files);
    io(found.volume.items);
    io(found.volume.bytes);
    io(found.volume.someUnknown);
    io(found.volume.freeBytes);
}

std::string encode(const std::optional<Found> &found) {
    std::string sent;
    AnswerWriter write{sent};
    bool present = found.has_value();
    Found facts = found.value_or(Found{});
    fields(write, present, facts);
    return sent;
}

// Nullopt when the bytes are not an answer (taken as one that did not come).
std::optional<std::optional<Found>> decode(const std::string &sent) {
    AnswerReader read{sent};
    bool present = false;
    Found found;
    fields(read, present, found);
    if (!read.done()) return std::nullopt;
    return present ? std::optional(found) : std::nullopt;
}

}  // namespace

std::vector<TrashVolume> trashVolumes(const std::set<std::string> &leftAlone) {
    Environment &environment = Environment::current();
    const uid_t uid = environment.userId();
    const std::string table = environment.mountTable(), data = environment.dataFolder();
    std::vector<TrashVolume> volumes;
    std::set<std::pair<dev_t, ino_t>> seen;
    auto add = [&](std::optional<std::optional<Found>> answer, const std::optional<MountEntry> &mount) {
        if (answer && (!*answer || !seen.insert((*answer)->folder).second)) return;  // no trash there, or one listed
        TrashVolume volume = answer ? (*answer)->volume : TrashVolume{};
        volume.answered = answer.has_value();
        volume.mountPoint = mount ? mount->mountPoint : "";
        volume.id = mount ? volumeId(*mount) : "";
        volume.purged = !leftAlone.count(volume.id);
        volumes.push_back(std::move(volume));
    };
    // The home trash on a patient thread, with one flag for the life of the process, as
    // lookAtItems keeps it.
    static const auto looking = std::make_shared<std::atomic<bool>>(false);
    auto home = std::make_shared<std::optional<Found>>();
    if (runPatiently([home, data] { *home = lookAt(homeTrashFolder(data)); }, looking))
        add(*home, *home ? mountHolding(table, (**home).volume.files, (**home).folder.first) : std::nullopt);
    else
        add(std::nullopt, std::nullopt);
    const std::vector<MountEntry> mounts = trashMounts(table);
    static std::map<std::string, std::shared_ptr<pid_t>> stuck;  // per mount point, for the life of the process
    std::vector<ChildWork> works;
    for (const MountEntry &mount : mounts) {
        auto &slot = stuck[mount.mountPoint];
        if (!slot) slot = std::make_shared<pid_t>(0);
        works.push_back({[mount, uid] {
                             ChildAnswer answer;
                             answer.bytes = encode(lookAt(mountTrashFolder(mount, uid)));
                             return answer;
                         }, slot});
    }
    const auto answers = runInChildren(std::move(works));
    for (size_t i = 0; i < mounts.size(); i++) add(answers[i] ? decode(answers[i]->bytes) : std::nullopt, mounts[i]);
    return volumes;
}

std::optional<TrashVolume> volumeHolding(const std::vector<TrashVolume> &volumes, const std::string &path) {
    char *resolved = realpath(path.c_str(), nullptr);
    struct stat st {};
    const bool found = resolved && stat(resolved, &st) == 0;
    const std::string real = resolved ? resolved : "";
    free(resolved);
    if (!found) return std::nullopt;
    const auto mount = mountHolding(Environment::current().mountTable(), real, st.st_dev);
    if (!mount) return std::nullopt;
    for (const TrashVolume &volume : volumes)
        if (volume.id == volumeId(*mount)) return volume;
    return std::nullopt;
}

}  // namespace quillon
