#include "trash/trash_list_file.h"

#include <cerrno>
#include <cstring>

#include "platform/atomic_file.h"
#include "platform/log.h"
#include "platform/plist.h"

namespace quillon {

std::optional<std::string> encodeTrashList(const FolderList *folders, std::string *error) {
    PlistArray top;
    if (folders) {
        top.reserve(folders->size());
        for (const auto &folder : *folders) top.push_back(folder->attributes());
    }
    return encodePlist(top, error);
}

std::optional<FolderList> decodeTrashList(std::string data, std::string *error) {
    auto decoded = decodePlist(std::move(data), error);
    if (!decoded) return std::nullopt;
    const auto *top = decoded->as<PlistArray>();
    if (!top) {
        if (error) *error = "the top level is not an array";
        return std::nullopt;
    }
    FolderList folders;
    for (const PlistValue &entry : *top)
        if (auto folder = TrashFolder::folderWithAttributes(entry)) folders.push_back(std::move(folder));
    return folders;
}

bool Trash::save() {
    if (!filePath_) return !unsavedChanges_;
    return saveToFile(*filePath_);
}

bool Trash::saveToFile(const std::string &path) {
    if (!unsavedChanges_) return true;
    std::string error;
    auto data = encodeTrashList(folders_.get(), &error);
    if (!data) {
        logMessage("NSPropertyListSerialization got error: %s", error.c_str());
        return false;
    }
    unsavedChanges_ = !writeFileAtomically(path, *data);
    // Said once when saves start failing and once when they work again, so a full or
    // read-only folder is noticed without a line every cycle.
    if (unsavedChanges_ && !saveFailing_)
        logMessage("could not save %s: %s; what the server remembers is kept in memory until a save works",
                   path.c_str(), strerror(errno));
    else if (!unsavedChanges_ && saveFailing_)
        logMessage("saved %s again", path.c_str());
    saveFailing_ = unsavedChanges_;
    return !unsavedChanges_;
}

bool Trash::load() { return filePath_ && loadFromFile(*filePath_); }

bool Trash::loadFromFile(const std::string &path) {
    if (examinePath(path) != PathKind::kOther) {
        setFolders(std::make_shared<FolderList>());
        unsavedChanges_ = true;
        return false;
    }
    std::string error;
    std::optional<FolderList> folders;
    if (auto data = readWholeFile(path)) {
        folders = decodeTrashList(std::move(*data), &error);
    } else {
        error = std::string("cannot read ") + path + ": " + readErrorText(errno);
    }
    if (!folders) {
        logMessage("NSPropertyListSerialization received error: %s", error.c_str());
        return false;
    }
    setFolders(std::make_shared<FolderList>(std::move(*folders)));
    unsavedChanges_ = false;
    return true;
}

}  // namespace quillon
