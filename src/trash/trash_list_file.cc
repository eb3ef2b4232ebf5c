#include "trash/trash_list_file.h"

#include <cerrno>
#include <cstring>

#include "platform/atomic_file.h"
#include "platform/memory.h"
#include "platform/log.h"
#include "platform/plist.h"

namespace quillon {

std::optional<std::string> encodeTrashList(const FolderList *folders, std::string *error) {
    // Written straight from the records, not through a tree of their dictionaries: the same
    // bytes as encodePlist of the folders' attributes, at a fraction of the time and memory.
    PlistWriter writer;
    if (!folders || folders->empty()) {
        writer.emptyArray();
        return writer.finish(error);
    }
    size_t size = 4096;
    for (const auto &folder : *folders)
        if (folder->files())
            for (const auto &file : *folder->files()) size += file->path().size() + 192;  // its lines' markup
    writer.reserve(size);
    writer.beginArray();
    for (const auto &folder : *folders) {
        writer.beginDict();
        writer.key("path");
        writer.string(folder->path());
        writer.key("files");
        const auto &files = folder->files();
        if (!files || files->empty()) {
            writer.emptyArray();
        } else {
            writer.beginArray();
            for (const auto &file : *files) {
                writer.beginDict();
                writer.key("path");
                writer.string(file->path());
                if (file->trashDate()) {
                    writer.key("trashDate");
                    writer.date(*file->trashDate());
                }
                if (file->fileNumber()) {
                    writer.key("fileNumber");
                    writer.integer(static_cast<int64_t>(*file->fileNumber()));
                }
                writer.end("dict");
            }
            writer.end("array");
        }
        if (!folder->identity().empty()) {
            writer.key("volume");
            writer.string(folder->identity());
        }
        writer.end("dict");
    }
    writer.end("array");
    return writer.finish(error);
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
    const int saved = errno;
    data.reset();
    releaseFreedMemory();  // a large save leaves its buffer's pages behind otherwise
    errno = saved;
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
    releaseFreedMemory();  // what the parse needed and gave back
    return true;
}

}  // namespace quillon
