#include "client/purge_preview.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>

#include <sys/statvfs.h>
#include <unistd.h>

#include <set>

#include "base/localization.h"
#include "base/size_text.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "fs/blocking_work.h"
#include "fs/child_work.h"
#include "policy/purge_policy.h"
#include "policy/space_limits.h"
#include "trash/item_sizes.h"
#include "trash/trash_list_file.h"
#include "trash/trash_list_file.h"
#include "trash/trash_locations.h"

namespace quillon {

std::optional<FolderList> rememberedFolders(std::string *error) {
    const std::string path = trashListFilePath();
    const PathKind kind = examinePath(path);
    if (kind == PathKind::kMissing) return FolderList{};
    if (kind == PathKind::kDirectory) {
        *error = localizedString("it is a folder");
        return std::nullopt;
    }
    auto folders = readTrashList(path, error);
    if (!folders && errno != 0) *error = localizedString("it cannot be read");
    return folders;
}

namespace {

// The facts of `names` in the trash folder `files`, when `location` is that folder.
std::map<std::string, ItemFacts> factsIn(const std::optional<TrashLocation> &location, const std::string &files,
                                         const std::vector<std::string> &names, std::optional<VolumeSpace> *space) {
    std::map<std::string, ItemFacts> facts;
    const PinnedFolder none(files, -1);
    const PinnedFolder &folder = location && location->files == files ? *location->folder : none;
    ItemSizes sizes(folder);
    sizes.willMeasure(names);
    const int info = folder.isOpen() ? openTrashInfoFolder(folder.fd()) : -1;
    for (const std::string &name : names) {
        ItemFacts &item = facts[name];
        item.present = sizes.present(name);
        if (item.present) item.bytes = sizes.bytes(name);
        if (item.present) item.info = readTrashInfo(info, name);
        noteProgress();
    }
    if (info >= 0) close(info);
    struct statvfs volume;
    if (space && folder.isOpen() && fstatvfs(folder.fd(), &volume) == 0)
        *space = VolumeSpace{static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize,
                             static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize};
    return facts;
}

// Facts as a child of child_work.h sends them: per name, in the map's order, whether it is
// present, its size when known, its info file when read; then the volume's space.
std::string encodeFacts(const std::map<std::string, ItemFacts> &facts, const std::optional<VolumeSpace> &space) {
    std::string sent;
    AnswerWriter write{sent};
    for (const auto &[name, item] : facts) {
        const TrashInfo info = item.info.value_or(TrashInfo{});
        write(item.present);
        write(item.bytes.has_value());
        write(item.bytes.value_or(0));
        write(item.info.has_value());
        write(info.path);
        write(info.deletionDate);
    }
    write(space.has_value());
    write(space.value_or(VolumeSpace{}).size);
    write(space.value_or(VolumeSpace{}).free);
    return sent;
}

// Fills the facts of the names already in `facts` from what encodeFacts sent; false when the
// bytes do not fit them.
bool decodeFacts(const std::string &sent, std::map<std::string, ItemFacts> &facts, std::optional<VolumeSpace> *space) {
    AnswerReader read{sent};
    for (auto &[name, item] : facts) {
        bool known = false, hasInfo = false;
        uint64_t bytes = 0;
        TrashInfo info;
        read(item.present);
        read(known);
        read(bytes);
        read(hasInfo);
        read(info.path);
        read(info.deletionDate);
        if (known) item.bytes = bytes;
        if (hasInfo) item.info = std::move(info);
    }
    bool known = false;
    VolumeSpace volume;
    read(known);
    read(volume.size);
    read(volume.free);
    if (space && known) *space = volume;
    return read.done();
}

}  // namespace

std::optional<std::map<std::string, ItemFacts>> lookAtItems(const std::string &files,
                                                            const std::vector<std::string> &names,
                                                            std::optional<VolumeSpace> *space) {
    Environment &environment = Environment::current();
    const std::string data = environment.dataFolder();
    if (files == data + "/Trash/files") {
        // The home trash on a patient thread: while home does not answer, nothing else works
        // either. One flag for the life of the process: a panel that looks again does not
        // wait again on a home that has not answered since.
        static const auto looking = std::make_shared<std::atomic<bool>>(false);
        auto facts = std::make_shared<std::map<std::string, ItemFacts>>();
        auto volume = std::make_shared<std::optional<VolumeSpace>>();
        if (!runPatiently([facts, volume, data, files, names] { *facts = factsIn(homeTrashFolder(data), files, names, volume.get()); },
                          looking))
            return std::nullopt;
        if (space) *space = *volume;
        return std::move(*facts);
    }
    // Another volume's trash, reached from its mount's top and looked at in a child that can
    // be abandoned (fs/child_work.h), so that a volume that stopped answering never
    // keeps the tool or the panel from ending.
    const uid_t uid = environment.userId();
    for (const MountEntry &mount : trashMounts(environment.mountTable())) {
        const std::vector<std::string> candidates = mountTrashCandidates(mount, uid);
        if (std::find(candidates.begin(), candidates.end(), files) == candidates.end()) continue;
        static std::map<std::string, std::shared_ptr<pid_t>> stuck;  // per folder, for the life of the process
        auto &slot = stuck[files];
        if (!slot) slot = std::make_shared<pid_t>(0);
        const auto answer = runInChild(
            [mount, uid, files, names] {
                ChildAnswer sent;
                std::optional<VolumeSpace> volume;
                sent.bytes = encodeFacts(factsIn(mountTrashFolder(mount, uid), files, names, &volume), volume);
                return sent;
            },
            slot);
        if (!answer) return std::nullopt;
        std::map<std::string, ItemFacts> facts;
        for (const std::string &name : names) facts[name];  // the map's own order, as sent
        if (!decodeFacts(answer->bytes, facts, space)) return std::nullopt;
        return facts;
    }
    // No volume keeps a trash of the user's there now: none of its items is there.
    std::map<std::string, ItemFacts> facts;
    for (const std::string &name : names) facts[name];
    return facts;
}

std::string notAnsweringText() { return localizedString("this volume does not answer: its items cannot be looked at"); }

std::string previewWithoutCycleText(ServerState state) {
    if (state == ServerState::kBusy)
        return localizedString("The server is running, busy: when its next cycle runs is not known. A cycle now would delete:");
    return localizedString("The server is not running: nothing is deleted until it runs. A cycle now would delete:");
}

std::vector<PreviewFolder> previewCycle(const FolderList &folders, const CalendarDate &cycle, int period, int units,
                                        const SpaceLimits &limits) {
    std::vector<PreviewFolder> out;
    const auto cutoff = cutoffDate(cycle, period, units);
    if (!cutoff) return out;
    for (const auto &folder : folders) {
        // The due items, and with the limits on the sizes the records do not keep.
        const std::vector<std::string> names = folder->dueNames(*cutoff, cycle);
        std::vector<std::string> unmeasured;
        if (limits.on()) {
            const std::set<std::string> due(names.begin(), names.end());
            for (const auto &file : *folder->files())
                if (!file->size() && !due.count(file->path())) unmeasured.push_back(file->path());
        }
        if (names.empty() && !limits.on()) continue;
        std::vector<std::string> looked = names;
        looked.insert(looked.end(), unmeasured.begin(), unmeasured.end());
        std::optional<VolumeSpace> space;
        const auto facts = lookAtItems(folder->path(), looked, limits.on() ? &space : nullptr);
        PreviewFolder due{folder->path(), {}, 0, false, !facts};
        auto add = [&](const std::string &name, std::optional<uint64_t> bytes, const ItemFacts *fact, unsigned limit) {
            due.items.push_back({name, bytes, fact ? fact->info : std::nullopt, limit});
            due.bytes += bytes.value_or(0);
            due.someUnknown = due.someUnknown || !bytes;
        };
        for (const std::string &name : names)
            if (facts && facts->at(name).present) add(name, facts->at(name).bytes, &facts->at(name), 0);
        if (facts && space) {
            // The cycle weighs what stays after the due items went, as the server's cycle does.
            const std::set<std::string> gone(names.begin(), names.end());
            std::vector<SizedItem> items;
            std::map<std::string, uint64_t> sizes;
            for (const auto &file : *folder->files()) {
                const auto found = facts->find(file->path());
                if (!file->trashDate() || gone.count(file->path()) || (found != facts->end() && !found->second.present))
                    continue;
                const auto bytes = file->size() ? file->size() : found->second.bytes;
                items.push_back({&file->path(), *file->trashDate(), bytes.value_or(0),
                                 file->keepUntil() && *file->keepUntil() > cycle});
                sizes.emplace(file->path(), bytes.value_or(0));
            }
            const LimitChoice choice =
                chooseForLimits(std::move(items), {space->size, space->free + due.bytes}, limits, cycle);
            const auto more = choice.names.empty() ? facts : lookAtItems(folder->path(), choice.names);  // their info files
            for (const std::string &name : choice.names)
                add(name, sizes.at(name), more && more->count(name) ? &more->at(name) : nullptr, choice.reasons);
        }
        if (!due.items.empty() || due.notAnswering) out.push_back(std::move(due));
    }
    return out;
}

std::string freedText(const PreviewFolder &folder) {
    const size_t n = folder.items.size();
    return formatted(folder.someUnknown ? localizedPlural("%zu item, at least %s freed", "%zu items, at least %s freed", n)
                                        : localizedPlural("%zu item, %s freed", "%zu items, %s freed", n),
                     n, sizeText(folder.bytes).c_str());
}

}  // namespace quillon
