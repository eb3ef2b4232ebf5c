#include "trash/trash.h"

#include <functional>

#include "platform/environment.h"
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

std::vector<std::string> Trash::userTrashPaths() const {
    Environment &environment = Environment::current();
    return userTrashFolders(environment.dataFolder(), environment.mountTable(), environment.userId());
}

std::shared_ptr<TrashFolder> Trash::trashFolderWithPath(const std::string &path) const {
    if (!folders_) return nullptr;
    for (const auto &folder : *folders_)
        if (folder->path() == path) return folder;
    return nullptr;
}

bool Trash::updateLists() {
    const std::shared_ptr<FolderList> before = folders_;
    auto folders = std::make_shared<FolderList>();
    for (const std::string &path : userTrashPaths()) {
        auto known = trashFolderWithPath(path);
        folders->push_back(known ? known : TrashFolder::folderWithPath(path));
    }
    setFolders(std::move(folders));
    return !listsEqual(before, folders_);
}

void Trash::processTrash(const PurgeRequest &request) {
    bool changed = unsavedChanges_;
    if (updateLists()) changed = true;
    for (const auto &folder : *folders_)
        if (folder->processTrash(request)) changed = true;  // every folder, every cycle
    unsavedChanges_ = changed;
    (void)save();
}

}  // namespace quillon
