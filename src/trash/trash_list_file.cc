#include "trash/trash_list_file.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "plist/plist.h"

namespace quillon {

std::string trashListFilePath() {
    return Environment::current().preferencesFolder() + "/local.vantor.quillon.list.plist";
}

namespace {

// Written straight from the records, not through a tree of their dictionaries: the same bytes
// as encodePlist of the folders' attributes, at a fraction of the time and memory.
std::optional<std::string> writeFolders(PlistWriter &writer, const FolderList *folders, std::string *error) {
    if (!folders || folders->empty()) {
        writer.emptyArray();
        return writer.finish(error);
    }
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
                if (const char *key = TrashFile::stampKey(file->stampKind())) {
                    writer.key(key);
                    writer.integer(file->stamp());
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

// Builds the folders and their records straight from the document's values, by the rules of
// TrashFolder::folderWithAttributes and TrashFile::fileWithAttributes: the first entry of a
// key counts; a folder needs a string "path" and, if it has "files", an array; a record
// needs a string "path"; anything else is skipped.
class TrashListReader : public PlistVisitor {
 public:
    void beginArray() override { begin(true); }
    void beginDict() override { begin(false); }
    void end() override {
        if (skipping_ > 0) {
            skipping_--;
            return;
        }
        switch (level_) {
            case Level::record:
                if (record_.pathState == Field::good)
                    files_->push_back(makeRecord());
                level_ = Level::files;
                break;
            case Level::files: level_ = Level::folder; break;
            case Level::folder:
                if (folder_.pathState == Field::good && !filesBad_) {
                    auto folder = std::make_shared<TrashFolder>(folder_.path);
                    if (!identity_.empty()) folder->setIdentity(identity_);
                    folder->setFiles(files_ ? std::move(files_) : std::make_shared<FileList>());
                    folders_.push_back(std::move(folder));
                }
                level_ = Level::top;
                break;
            default: level_ = Level::done; break;
        }
    }
    void key(std::string text) override {
        if (skipping_ > 0) return;
        slot_ = Slot::skip;
        if (level_ == Level::folder) {
            if (text == "path" && folder_.pathState == Field::unseen) slot_ = Slot::folderPath;
            else if (text == "files" && !filesSeen_) slot_ = Slot::folderFiles;
            else if (text == "volume" && !volumeSeen_) slot_ = Slot::folderVolume;
        } else if (level_ == Level::record) {
            if (text == "path" && record_.pathState == Field::unseen) slot_ = Slot::recordPath;
            else if (text == "trashDate" && !dateSeen_) slot_ = Slot::recordDate;
            else if (text == "fileNumber" && !numberSeen_) slot_ = Slot::recordNumber;
            else if (text == "fileBirth" && !birthSeen_) slot_ = Slot::recordBirth;
            else if (text == "fileChange" && !changeSeen_) slot_ = Slot::recordChange;
        }
    }
    void scalar(PlistValue value) override {
        if (skipping_ > 0 || level_ == Level::start) {
            notArray_ = notArray_ || level_ == Level::start;
            return;
        }
        switch (takeSlot()) {
            case Slot::folderPath: folder_.take(value); break;
            case Slot::folderFiles: filesSeen_ = filesBad_ = true; break;
            case Slot::folderVolume:
                volumeSeen_ = true;
                if (auto *text = value.as<std::string>()) identity_ = std::move(*text);
                break;
            case Slot::recordPath: record_.take(value); break;
            case Slot::recordDate:
                dateSeen_ = true;
                if (auto *date = value.as<CalendarDate>()) date_ = *date;
                break;
            case Slot::recordNumber:
                numberSeen_ = true;
                if (auto *number = value.as<int64_t>()) number_ = static_cast<uint64_t>(*number);
                break;
            case Slot::recordBirth:
                birthSeen_ = true;
                if (auto *stamp = value.as<int64_t>()) birth_ = *stamp;
                break;
            case Slot::recordChange:
                changeSeen_ = true;
                if (auto *stamp = value.as<int64_t>()) change_ = *stamp;
                break;
            case Slot::skip: break;
        }
    }

    void restart() override { *this = TrashListReader(); }

    // The folders read, or nullopt when the document's top level is not an array.
    std::optional<FolderList> take() {
        if (notArray_) return std::nullopt;
        return std::move(folders_);
    }

 private:
    enum class Level { start, top, folder, files, record, done };
    enum class Slot { skip, folderPath, folderFiles, folderVolume, recordPath, recordDate, recordNumber, recordBirth, recordChange };
    enum class Field { unseen, good, bad };
    struct Path {
        Field pathState = Field::unseen;
        std::string path;
        void take(PlistValue &value) {
            auto *text = value.as<std::string>();
            pathState = text ? Field::good : Field::bad;
            if (text) path = std::move(*text);
        }
    };

    // What the value now beginning is for; inside an array, each element is for that array.
    Slot takeSlot() {
        const Slot slot = level_ == Level::folder || level_ == Level::record ? slot_ : Slot::skip;
        slot_ = Slot::skip;
        return slot;
    }
    void begin(bool array) {
        if (skipping_ > 0) {
            skipping_++;
            return;
        }
        if (level_ == Level::start) {
            if (array) level_ = Level::top;
            else notArray_ = true, skipping_ = 1;
            return;
        }
        if (level_ == Level::top && !array) {
            level_ = Level::folder;
            folder_ = {};
            files_.reset();
            identity_.clear();
            filesSeen_ = filesBad_ = volumeSeen_ = false;
            return;
        }
        if (level_ == Level::files && !array) {
            level_ = Level::record;
            record_ = {};
            date_.reset();
            number_.reset();
            birth_.reset();
            change_.reset();
            dateSeen_ = numberSeen_ = birthSeen_ = changeSeen_ = false;
            return;
        }
        const Slot slot = takeSlot();
        if (slot == Slot::folderFiles) {
            filesSeen_ = true;
            filesBad_ = !array;
            if (array) {
                files_ = std::make_shared<FileList>();
                level_ = Level::files;
                return;
            }
        }
        if (slot == Slot::folderPath) folder_.pathState = Field::bad;
        if (slot == Slot::recordPath) record_.pathState = Field::bad;
        if (slot == Slot::folderVolume) volumeSeen_ = true;
        if (slot == Slot::recordDate) dateSeen_ = true;
        if (slot == Slot::recordNumber) numberSeen_ = true;
        if (slot == Slot::recordBirth) birthSeen_ = true;
        if (slot == Slot::recordChange) changeSeen_ = true;
        skipping_ = 1;
    }
    std::shared_ptr<TrashFile> makeRecord() {
        auto file = std::make_shared<TrashFile>(std::move(record_.path), date_);
        if (number_) file->setFileNumber(*number_);
        if (birth_) file->setStamp(StampKind::birth, *birth_);
        else if (change_) file->setStamp(StampKind::change, *change_);
        return file;
    }

    Level level_ = Level::start;
    Slot slot_ = Slot::skip;
    int skipping_ = 0;  // nesting depth of a value being skipped
    bool notArray_ = false;
    FolderList folders_;
    Path folder_, record_;
    std::shared_ptr<FileList> files_;
    std::string identity_;
    bool filesSeen_ = false, filesBad_ = false, volumeSeen_ = false;
    std::optional<CalendarDate> date_;
    std::optional<uint64_t> number_;
    std::optional<int64_t> birth_, change_;
    bool dateSeen_ = false, numberSeen_ = false, birthSeen_ = false, changeSeen_ = false;
};

// The folders `reader` built, once the document was `read` whole.
std::optional<FolderList> foldersRead(TrashListReader &reader, bool read, std::string *error) {
    if (!read) return std::nullopt;
    auto folders = reader.take();
    if (!folders && error) *error = "the top level is not an array";
    return folders;
}

}  // namespace

std::optional<FolderList> decodeTrashList(std::string data, std::string *error) {
    TrashListReader reader;
    const bool read = visitPlist(std::move(data), reader, error);
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
