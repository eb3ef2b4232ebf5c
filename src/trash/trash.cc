#include "trash/trash.h"

#include <functional>

#include "platform/blocking_work.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "platform/trash_locations.h"

namespace quillon {

std::shared_ptr<Trash> Trash::trashFromFile(const std::string &path) {
    auto trash = std::make_shared<Trash>();
    trash->setFilePath(path);
    (void)trash->load();
    return trash;
}

Trash::~Trash() {
    if (filePath_) (void)saveToFile(*filePath_);
}

std::string Trash::description() const {
    std::string text = "Trash = {filePath = " + filePath_.value_or("(null)") + ",folders = {";
    if (folders_)
        for (const auto &folder : *folders_) text += folder->description() + ",";
    return text + "}}";
}

size_t Trash::hash() const {
    return (filePath_ ? std::hash<std::string>()(*filePath_) : 0) + listHash(folders_);
}

bool Trash::isEqualToTrash(const Trash &other) const {
    if (this == &other) return true;
    if (!filePath_ || !other.filePath_ || *filePath_ != *other.filePath_) return false;
    return listsEqual(folders_, other.folders_);
}

std::shared_ptr<TrashFolder> Trash::trashFolderWithPath(const std::string &path) const {
    if (!folders_) return nullptr;
    for (const auto &folder : *folders_)
        if (folder->path() == path) return folder;
    return nullptr;
}

bool Trash::updateLists() {
    Environment &environment = Environment::current();
    const uid_t uid = environment.userId();
    const std::vector<MountEntry> mounts = trashMounts(environment.mountTable());

    // Slot 0 the home trash, then one per mount; each look-up writes only its own slot.
    auto found = std::make_shared<std::vector<std::optional<TrashLocation>>>(mounts.size() + 1);
    std::vector<BlockingWork> works;
    std::vector<std::string> volumes;
    works.reserve(mounts.size() + 1);
    auto running = [&](const std::string &volume) {
        auto &flag = lookups_[volume];
        if (!flag) flag = std::make_shared<std::atomic<bool>>(false);
        volumes.push_back(volume);
        return flag;
    };
    works.push_back({[found, data = environment.dataFolder()] { (*found)[0] = homeTrashFolder(data); }, running("")});
    for (size_t i = 0; i < mounts.size(); i++)
        works.push_back({[found, i, mount = mounts[i], uid] { (*found)[i + 1] = mountTrashFolder(mount, uid); },
                         running(mounts[i].mountPoint)});
    const std::vector<bool> answered = runPatiently(std::move(works));

    const std::shared_ptr<FolderList> before = folders_;
    auto folders = std::make_shared<FolderList>();
    std::set<std::pair<dev_t, ino_t>> seen;
    skipped_.clear();
    for (size_t i = 0; i < answered.size(); i++) {
        const std::string &volume = volumes[i];
        const std::string shown = volume.empty() ? environment.dataFolder() + "/Trash" : volume;
        if (!answered[i]) {
            if (stalledVolumes_.insert(volume).second)
                logMessage("%s does not answer: its trash is left as it is until it does", shown.c_str());
            // Keep what we knew of its trash, untouched, for when it answers again.
            const std::vector<std::string> candidates =
                i == 0 ? std::vector<std::string>{environment.dataFolder() + "/Trash/files"}
                       : mountTrashCandidates(mounts[i - 1], uid);
            for (const std::string &path : candidates)
                if (auto known = trashFolderWithPath(path)) {
                    folders->push_back(known);
                    skipped_.insert(known.get());
                }
            continue;
        }
        if (stalledVolumes_.erase(volume) != 0) logMessage("%s answers again", shown.c_str());
        const std::optional<TrashLocation> &location = (*found)[i];
        if (!location || !seen.insert({location->device, location->inode}).second) continue;
        auto known = trashFolderWithPath(location->files);
        folders->push_back(known ? known : TrashFolder::folderWithPath(location->files));
    }
    setFolders(std::move(folders));
    return !listsEqual(before, folders_);
}

void Trash::moveTrashDates(std::chrono::nanoseconds interval) {
    if (folders_)
        for (const auto &folder : *folders_)
            if (folder->moveTrashDates(interval)) unsavedChanges_ = true;
}

size_t Trash::clampTrashDates(const CalendarDate &now) {
    size_t clamped = 0;
    if (folders_)
        for (const auto &folder : *folders_) clamped += folder->clampTrashDates(now);
    if (clamped != 0) unsavedChanges_ = true;
    return clamped;
}

void Trash::processTrash(const PurgeRequest &request) {
    bool changed = unsavedChanges_;
    lastCycle_ = {};
    if (updateLists()) changed = true;
    for (const auto &folder : *folders_) {
        if (skipped_.count(folder.get())) continue;
        if (folder->processTrash(request, lastCycle_)) changed = true;  // every folder, every cycle
    }
    unsavedChanges_ = changed;
    (void)save();
}

}  // namespace quillon
