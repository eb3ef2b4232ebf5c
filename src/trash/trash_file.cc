#include "trash/trash_file.h"

#include <cstdio>
#include <functional>

#include "base/log.h"
#include "env/environment.h"

namespace quillon {

std::shared_ptr<TrashFile> TrashFile::fileWithPath(const std::string &name) {
    return std::make_shared<TrashFile>(name, Environment::current().now());
}

std::shared_ptr<TrashFile> TrashFile::fileWithAttributes(const PlistValue &attributes) {
    const PlistValue *path = attributes.find("path");
    if (!path || !path->as<std::string>()) return nullptr;
    std::optional<CalendarDate> date;
    if (const PlistValue *stored = attributes.find("trashDate"))
        if (const auto *value = stored->as<CalendarDate>()) date = *value;
    auto file = std::make_shared<TrashFile>(*path->as<std::string>(), date);
    if (const PlistValue *stored = attributes.find("fileNumber"))
        // Stored as the 64 bits of the inode number, which may use the top bit.
        if (const auto *value = stored->as<int64_t>()) file->setFileNumber(static_cast<uint64_t>(*value));
    if (const PlistValue *stored = attributes.find("size"))
        if (const auto *value = stored->as<int64_t>(); value && *value >= 0) file->setSize(static_cast<uint64_t>(*value));
    for (StampKind kind : {StampKind::birth, StampKind::change})
        if (const PlistValue *stored = attributes.find(stampKey(kind)))
            if (const auto *value = stored->as<int64_t>()) {
                file->setStamp(kind, *value);
                break;
            }
    if (const PlistValue *stored = attributes.find("keepUntil"))
        if (const auto *value = stored->as<CalendarDate>()) file->setKeepUntil(*value);
    return file;
}

PlistValue TrashFile::attributes() const {
    PlistDictionary dictionary;
    dictionary.emplace_back("path", path_);
    if (trashDate_) dictionary.emplace_back("trashDate", *trashDate_);
    if (fileNumber_) dictionary.emplace_back("fileNumber", static_cast<int64_t>(*fileNumber_));
    if (stampKind_ != StampKind::none) dictionary.emplace_back(stampKey(stampKind_), stamp_);
    if (size_) dictionary.emplace_back("size", static_cast<int64_t>(*size_));
    if (keepUntil_) dictionary.emplace_back("keepUntil", *keepUntil_);
    return dictionary;
}

const char *TrashFile::stampKey(StampKind kind) {
    switch (kind) {
        case StampKind::birth: return "fileBirth";
        case StampKind::change: return "fileChange";
        default: return nullptr;
    }
}

std::string TrashFile::description() const {
    char self[64];
    snprintf(self, sizeof self, "<TrashFile: %p>", static_cast<const void *>(this));
    return std::string(self) + " {path = \"" + escapedText(path_) + "\"; trashDate = " +
           (trashDate_ ? trashDate_->description() : std::string("(none)")) + ";}";
}

size_t TrashFile::hash() const { return std::hash<std::string>()(path_); }

}  // namespace quillon
