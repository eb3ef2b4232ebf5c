#include "trash/trash.h"

#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <string_view>

#include "base/log.h"
#include "base/size_text.h"
#include "env/environment.h"
#include "fs/blocking_work.h"
#include "fs/child_work.h"
#include "trash/trash_locations.h"

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

namespace {

// A volume's trash looked up and listed, as a child of child_work.h sends it: nothing when
// there is none, else its device, inode and path, then its listing; its descriptor beside.
// `settled` holds, per folder path, what its last scan found (TrashFolder::settled).
ChildAnswer lookUpAndList(const MountEntry &mount, uid_t uid, const std::map<std::string, int64_t> &settled,
                          int64_t now) {
    ChildAnswer answer;
    const std::optional<TrashLocation> location = mountTrashFolder(mount, uid);
    if (!location) return answer;
    const auto known = settled.find(location->files);
    const FolderListing listing = scanFolder(*location->folder, known == settled.end() ? 0 : known->second, now);
    AnswerWriter write{answer.bytes};
    write(location->device);
    write(location->inode);
    write(location->files);
    answer.bytes += encodeListing(listing);
    answer.fds.push_back(dup(location->folder->fd()));  // outlives `location`, until the child ends
    return answer;
}

// What the parent makes of that answer; the descriptor is closed when the answer is not one.
std::optional<std::pair<TrashLocation, FolderListing>> received(ChildAnswer &answer) {
    TrashLocation location{};
    AnswerReader read{answer.bytes};
    read(location.device);
    read(location.inode);
    read(location.files);
    std::optional<FolderListing> listing;
    if (answer.fds.size() == 1 && read.ok) listing = decodeListing(read.in);
    if (!listing) {
        for (int fd : answer.fds) close(fd);
        return std::nullopt;
    }
    location.folder = std::make_shared<PinnedFolder>(location.files, answer.fds[0]);
    return std::pair{std::move(location), std::move(*listing)};
}

}  // namespace

bool Trash::updateLists(const std::set<std::string> &leftAlone) {
    Environment &environment = Environment::current();
    const uid_t uid = environment.userId();
    const std::string table = environment.mountTable();
    std::vector<MountEntry> mounts = trashMounts(table);
    std::erase_if(mounts, [&](const MountEntry &mount) { return leftAlone.count(volumeId(mount)) != 0; });

    // Slot 0 the home trash, then one per mount.
    struct Found {
        bool answered = false;
        std::optional<TrashLocation> location;
        std::optional<FolderListing> listing;  // made by the look-up itself
    };
    std::vector<Found> found(mounts.size() + 1);
    std::vector<std::string> volumes{""};
    // The home trash on a patient thread: while home does not answer, nothing else works either.
    auto home = std::make_shared<std::optional<TrashLocation>>();
    auto &flag = lookups_[""];
    if (!flag) flag = std::make_shared<std::atomic<bool>>(false);
    found[0].answered = runPatiently([home, data = environment.dataFolder()] { *home = homeTrashFolder(data); }, flag);
    if (found[0].answered) found[0].location = std::move(*home);
    // The home trash's volume is known only once it is found: the folder's own device.
    if (const auto &location = found[0].location; location && !leftAlone.empty())
        if (auto mount = mountHolding(table, location->files, location->device); mount && leftAlone.count(volumeId(*mount)))
            found[0].location.reset();
    // Every other volume is first touched in a child that can be abandoned (child_work.h).
    std::vector<ChildWork> works;
    for (const MountEntry &mount : mounts) {
        auto &stuck = stuckLookups_[mount.mountPoint];
        if (!stuck) stuck = std::make_shared<pid_t>(0);
        std::map<std::string, int64_t> settled;
        for (const std::string &path : mountTrashCandidates(mount, uid))
            if (auto known = trashFolderWithPath(path)) settled[path] = known->settled();
        works.push_back({[mount, uid, settled, now = wallNanoseconds()] { return lookUpAndList(mount, uid, settled, now); },
                         stuck});
        volumes.push_back(mount.mountPoint);
    }
    std::vector<std::optional<ChildAnswer>> answers = runInChildren(std::move(works));
    for (size_t i = 0; i < answers.size(); i++) {
        if (!answers[i]) continue;
        found[i + 1].answered = true;
        if (auto location = received(*answers[i])) {
            found[i + 1].location = std::move(location->first);
            found[i + 1].listing = std::move(location->second);
        }
    }

    const std::shared_ptr<FolderList> before = folders_;
    auto folders = std::make_shared<FolderList>();
    std::set<std::pair<dev_t, ino_t>> seen;
    skipped_.clear();
    opened_.clear();
    for (size_t i = 0; i < found.size(); i++) {
        const std::string &volume = volumes[i];
        const std::string shown = volume.empty() ? environment.dataFolder() + "/Trash" : volume;
        if (!found[i].answered) {
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
        const std::optional<TrashLocation> &location = found[i].location;
        if (!location || !seen.insert({location->device, location->inode}).second) continue;
        auto known = trashFolderWithPath(location->files);
        folders->push_back(known ? known : TrashFolder::folderWithPath(location->files));
        opened_[folders->back().get()] = {location->folder, std::move(found[i].listing)};
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
    if (updateLists(request.leftAlone)) changed = true;
    for (const auto &folder : *folders_) {
        const auto open = opened_.find(folder.get());
        if (skipped_.count(folder.get()) || open == opened_.end()) continue;
        const FolderListing *listing = open->second.listing ? &*open->second.listing : nullptr;
        if (folder->processTrash(request, lastCycle_, open->second.folder, listing)) changed = true;  // every folder, every cycle
    }
    opened_.clear();  // the next cycle reaches every folder afresh
    // Once a cycle, what the limits wanted but the minimum age kept.
    uint64_t unfreed = 0;
    std::string where;
    for (const auto &limited : lastCycle_.limited)
        if (limited.unfreed != 0) {
            unfreed += limited.unfreed;
            where += (where.empty() ? "" : ", ") + limited.folder;
        }
    if (unfreed != 0)
        logMessage("the space limits could not free %s in %s: the items that would free it are younger than the minimum age",
                   sizeText(unfreed).c_str(), where.c_str());
    unsavedChanges_ = changed;
    (void)save();
    if (!history_) return;
    unrecorded_.insert(unrecorded_.end(), lastCycle_.gone.begin(), lastCycle_.gone.end());
    if (unrecorded_.size() > DeletionHistory::kMaxEntries)
        unrecorded_.erase(unrecorded_.begin(), unrecorded_.end() - DeletionHistory::kMaxEntries);
    // The append still running since an earlier cycle owns the history: these wait their turn.
    if (unrecorded_.empty() || recording_->load()) return;
    (void)runPatiently([history = history_, entries = std::move(unrecorded_),
                        now = static_cast<int64_t>(Environment::current().now().unixSeconds())] {
        (void)history->append(entries, now);  // logs its own failure
    }, recording_);
    unrecorded_.clear();  // handed on: written now, or by the append once its volume answers
}

}  // namespace quillon
