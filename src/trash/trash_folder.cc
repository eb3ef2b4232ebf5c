#include "trash/trash_folder.h"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "platform/environment.h"
#include "platform/log.h"
#include "platform/trash_bookkeeping.h"

namespace quillon {

namespace {

// A name that stands for exactly one entry of the folder it is joined to.
bool isPlainName(const std::string &name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

std::shared_ptr<TrashFolder> TrashFolder::folderWithPath(const std::string &path) {
    return std::make_shared<TrashFolder>(path);
}

std::shared_ptr<TrashFolder> TrashFolder::folderWithAttributes(const PlistValue &attributes) {
    const PlistValue *path = attributes.find("path");
    if (!path || !path->as<std::string>()) return nullptr;
    const PlistValue *stored = attributes.find("files");
    if (stored && !stored->as<PlistArray>()) return nullptr;

    auto folder = std::make_shared<TrashFolder>(*path->as<std::string>());
    auto files = std::make_shared<FileList>();
    if (stored) {
        files->reserve(stored->as<PlistArray>()->size());
        for (const PlistValue &item : *stored->as<PlistArray>())
            if (auto file = TrashFile::fileWithAttributes(item)) files->push_back(std::move(file));
    }
    folder->setFiles(std::move(files));
    return folder;
}

PlistValue TrashFolder::attributes() const {
    PlistArray files;
    if (files_) {
        files.reserve(files_->size());
        for (const auto &file : *files_) files.push_back(file->attributes());
    }
    PlistDictionary dictionary;
    dictionary.emplace_back("path", path_);
    dictionary.emplace_back("files", std::move(files));
    return dictionary;
}

std::shared_ptr<TrashFile> TrashFolder::trashFileWithPath(const std::string &name) const {
    if (!files_) return nullptr;
    for (const auto &file : *files_)
        if (file->path() == name) return file;
    return nullptr;
}

void TrashFolder::updateFiles() {
    // Index the known records by name, first one of a name winning as in a scan of the list,
    // so the whole scan stays linear in the number of items.
    std::unordered_map<std::string_view, const std::shared_ptr<TrashFile> *> known;
    if (files_) {
        known.reserve(files_->size());
        for (const auto &file : *files_) known.emplace(file->path(), &file);
    }

    datedRecords_ = false;
    auto files = std::make_shared<FileList>();
    const std::vector<std::string> names = pinned_ ? pinned_->list() : listFolder(path_);
    files->reserve(names.size());
    for (const std::string &name : names) {
        if (name[0] == '.') continue;
        auto found = known.find(name);
        if (found == known.end()) {
            files->push_back(TrashFile::fileWithPath(name));
            continue;
        }
        const std::shared_ptr<TrashFile> &file = *found->second;
        if (!file->trashDate()) {
            // A record read without a date: its age starts now.
            file->setTrashDate(Environment::current().now());
            datedRecords_ = true;
        }
        files->push_back(file);
    }
    setFiles(std::move(files));
}

bool TrashFolder::deleteFile(const TrashFile &file, bool securely) {
    std::string full = path_;
    if (full.empty() || full.back() != '/') full += '/';
    full += file.path();
    std::optional<PinnedFolder> own;
    const PinnedFolder *folder = pinned_;
    if (!folder) folder = &own.emplace(path_);

    // Only a name of this folder's own, reached through the folder we hold open.
    bool removed = isPlainName(file.path()) && folder->isOpen();
    if (removed) {
        Environment &environment = Environment::current();
        const std::string target = folder->pathFor(file.path());
        removed = securely ? environment.secureDelete(target, 0) : environment.removeItem(target);
    }
    if (!removed) {
        logMessage(securely ? "could not securely delete: %s" : "could not delete: %s", full.c_str());
        return false;
    }
    (void)forgetTrashedItem(path_, file.path(), securely);  // logs its own failure
    return true;
}

void TrashFolder::purgeFilesOlderThan(const CalendarDate &cutoff, bool securely) {
    if (!files_) return;
    std::unordered_set<const TrashFile *> deleted;
    // Every record the list holds now is examined once; the list is pruned after the walk.
    for (const auto &file : *files_) {
        const auto &date = file->trashDate();
        if (!date || date->timeIntervalSinceDate(cutoff) >= 0) continue;
        if (deleteFile(*file, securely)) deleted.insert(file.get());
    }
    if (!deleted.empty())
        std::erase_if(*files_, [&](const std::shared_ptr<TrashFile> &file) { return deleted.count(file.get()) != 0; });
}

bool TrashFolder::processTrash(const PurgeRequest &request) {
    const std::shared_ptr<FileList> before = files_;
    const PinnedFolder folder(path_);
    pinned_ = &folder;
    updateFiles();
    purgeFilesOlderThan(request.date, request.secure);
    pinned_ = nullptr;
    return datedRecords_ || !listsEqual(before, files_);
}

std::string TrashFolder::description() const {
    std::string text = "TrashFolder = {path = " + path_ + ",files = {";
    if (files_)
        for (const auto &file : *files_) text += file->description() + ",";
    return text + "}}";
}

size_t TrashFolder::hash() const { return std::hash<std::string>()(path_) + listHash(files_); }

bool TrashFolder::isEqualToFolder(const TrashFolder &other) const {
    return this == &other || (path_ == other.path_ && listsEqual(files_, other.files_));
}

}  // namespace quillon
