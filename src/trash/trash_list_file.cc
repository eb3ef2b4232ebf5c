#include "trash/trash_list_file.h"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "plist/plist.h"

namespace quillon {

std::string trashListFilePath() {
    return Environment::current().preferencesFolder() + "/local.vantor.quillon.list.plist";
}

namespace {

// One folder dictionary at a time, and in it one item dictionary at a time: the bytes of
// encodePlist of the folders' attributes, without ever holding their tree.
std::optional<std::string> writeFolders(PlistWriter &writer, const FolderList *folders, std::string *error) {
    if (!folders || folders->empty()) {
        writer.emptyArray();
        return writer.finish(error);
    }
    writer.beginArray();
    for (const auto &folder : *folders) {
        const PlistValue attributes = folder->attributes(false);
        writer.beginDict();
        for (const auto &[key, value] : *attributes.as<PlistDictionary>()) {
            writer.key(key);
            const auto &files = folder->files();
            if (key != TrashFolder::kFilesKey || !files || files->empty()) {
                writer.value(value);
                continue;
            }
            writer.beginArray();
            for (const auto &file : *files) writer.value(file->attributes());
            writer.end("array");
        }
        writer.end("dict");
    }
    writer.end("array");
    return writer.finish(error);
}

}  // namespace

std::optional<std::string> encodeTrashList(const FolderList *folders, std::string *error) {
    PlistWriter writer;
    size_t size = 4096;
    if (folders)
        for (const auto &folder : *folders)
            if (folder->files())
                for (const auto &file : *folder->files()) size += file->path().size() + 192;  // its lines' markup
    writer.reserve(size);
    return writeFolders(writer, folders, error);
}

bool writeTrashList(const FolderList *folders, int fd, std::string *error) {
    PlistWriter writer([fd](const std::string &bytes) { return writeAll(fd, bytes.data(), bytes.size()); });
    error->clear();
    return writeFolders(writer, folders, error).has_value();
}

namespace {

// Reads the file a record at a time: each item dictionary is built on its own and handed to
// TrashFile::fileWithAttributes, each folder dictionary (its records stood for by an empty
// array) to TrashFolder::folderWithAttributes, so that what makes a record or a folder is
// decided there alone, and a large file is never held as a tree.
class TrashListReader : public PlistVisitor {
 public:
    void beginArray() override { begin(true); }
    void beginDict() override { begin(false); }
    void end() override {
        if (notArray_) return;
        if (building_) {
            if (!skipping_) value_.end();
            if (--inner_ == 0) finishValue();
            return;
        }
        if (depth_ == 2) {
            if (auto folder = TrashFolder::folderWithAttributes(PlistValue(std::move(folder_)))) {
                if (records_) folder->setFiles(std::move(records_));
                folders_.push_back(std::move(folder));
            }
            folder_.clear();
            records_.reset();
        }
        depth_--;
    }
    void key(std::string text) override {
        if (notArray_ || (building_ && skipping_)) return;
        if (building_) value_.key(std::move(text));
        else key_ = std::move(text);
    }
    void scalar(PlistValue value) override {
        if (notArray_) return;
        if (depth_ == 0) {
            notArray_ = true;
            return;
        }
        if (!building_) startValue();
        if (!skipping_) value_.scalar(std::move(value));
        if (inner_ == 0) finishValue();
    }

    // The folders read, or nullopt when the document's top level is not an array.
    std::optional<FolderList> take() {
        if (notArray_) return std::nullopt;
        return std::move(folders_);
    }

 private:
    void begin(bool array) {
        if (notArray_) return;
        if (!building_) {
            if (depth_ == 0 || (depth_ == 1 && !array)) {
                notArray_ = depth_ == 0 && !array;
                depth_++;
                return;
            }
            if (depth_ == 2 && array && key_ == TrashFolder::kFilesKey && !folderHasKey()) {
                folder_.emplace_back(key_, PlistArray{});
                records_ = std::make_shared<FileList>();
                depth_++;
                return;
            }
            startValue();
        }
        inner_++;
        if (skipping_) return;
        if (array) value_.beginArray();
        else value_.beginDict();
    }
    // A value of the folder list, a folder's entry or a record begins.
    void startValue() {
        building_ = true;
        // Only a key's first entry counts: the values of later ones are not even built.
        skipping_ = depth_ == 2 && folderHasKey();
    }
    bool folderHasKey() const {
        return std::any_of(folder_.begin(), folder_.end(), [&](const auto &entry) { return entry.first == key_; });
    }
    void finishValue() {
        building_ = false;
        if (std::exchange(skipping_, false)) return;
        PlistValue value = value_.take();
        if (depth_ == 1) {
            if (auto folder = TrashFolder::folderWithAttributes(value)) folders_.push_back(std::move(folder));
        } else if (depth_ == 2) {
            folder_.emplace_back(std::move(key_), std::move(value));
        } else if (auto file = TrashFile::fileWithAttributes(value)) {
            records_->push_back(std::move(file));
        }
    }

    int depth_ = 0;  // of the folder list's own arrays and dicts: 1 the list, 2 a folder, 3 its records
    bool notArray_ = false;
    bool building_ = false, skipping_ = false;
    int inner_ = 0;  // arrays and dicts open inside the value being built
    PlistBuilder value_;
    std::string key_;
    PlistDictionary folder_;  // the folder's entries read so far
    std::shared_ptr<FileList> records_;
    FolderList folders_;
};

// The folders `reader` built, once the document was `read` whole.
std::optional<FolderList> foldersRead(TrashListReader &reader, bool read, std::string *error) {
    if (!read) return std::nullopt;
    auto folders = reader.take();
    if (!folders && error) *error = "the top level is not an array";
    return folders;
}

}  // namespace

std::optional<FolderList> decodeTrashList(std::string_view data, std::string *error) {
    TrashListReader reader;
    const bool read = visitPlist(data, reader, error);
    return foldersRead(reader, read, error);
}

std::optional<FolderList> readTrashList(const std::string &path, std::string *error) {
    const int fd = openForReading(path);
    if (fd < 0) {
        const int cause = errno;
        *error = "cannot read " + path + ": " + readErrorText(cause);
        errno = cause;
        return std::nullopt;
    }
    TrashListReader reader;
    const bool read = visitPlistFile(fd, reader, error, kLargestFileRead);
    const int cause = errno;
    close(fd);
    errno = cause;
    if (!read && cause != 0) *error = "cannot read " + path + ": " + readErrorText(cause);
    return foldersRead(reader, read, error);
}

bool Trash::save() {
    if (!filePath_) return !unsavedChanges_;
    return saveToFile(*filePath_);
}

bool Trash::saveToFile(const std::string &path) {
    if (!unsavedChanges_) return true;
    std::string error;
    unsavedChanges_ = !writeFileAtomically(path, [&](int fd) { return writeTrashList(folders_.get(), fd, &error); });
    if (unsavedChanges_ && !error.empty()) {
        logMessage("NSPropertyListSerialization got error: %s", error.c_str());
        return false;
    }
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
    auto folders = readTrashList(path, &error);
    if (!folders) {
        logMessage("NSPropertyListSerialization received error: %s", error.c_str());
        return false;
    }
    setFolders(std::make_shared<FolderList>(std::move(*folders)));
    unsavedChanges_ = false;
    (void)malloc_trim(0);  // hand back to the system the pages the parse needed and freed
    return true;
}

}  // namespace quillon
