// libFuzzer target: reading a trash list file must never crash, whatever the bytes; the
// records read one at a time must be those the whole value tree and the records' own rules
// give; and they must survive a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "plist/plist.h"
#include "trash/trash_list_file.h"

namespace {

std::string summary(const quillon::FolderList &folders) {
    std::string text;
    for (const auto &folder : folders) {
        text += folder->path() + '\x1e' + folder->identity() + '\x1e';
        for (const auto &file : *folder->files()) {
            text += file->path() + '\x1f';
            text += file->trashDate() ? std::to_string(file->trashDate()->unixSeconds()) : "-";
            text += '\x1f' + (file->fileNumber() ? std::to_string(*file->fileNumber()) : "-") + '\x1f';
            text += std::to_string(static_cast<int>(file->stampKind())) + ':' + std::to_string(file->stamp()) + '\x1f';
        }
        text += '\x1d';
    }
    return text;
}

// The same file read the long way: the whole value tree, then each folder from its dictionary.
std::optional<quillon::FolderList> throughTheTree(const std::string &data) {
    std::string error;
    auto tree = quillon::decodePlist(data, &error);
    if (!tree || !tree->as<quillon::PlistArray>()) return std::nullopt;
    quillon::FolderList folders;
    for (const auto &entry : *tree->as<quillon::PlistArray>())
        if (auto folder = quillon::TrashFolder::folderWithAttributes(entry)) folders.push_back(folder);
    return folders;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    std::string error;
    auto folders = quillon::decodeTrashList(bytes, &error);
    auto reference = throughTheTree(bytes);
    if (folders.has_value() != reference.has_value()) abort();
    if (!folders) return 0;
    if (summary(*folders) != summary(*reference)) abort();
    auto encoded = quillon::encodeTrashList(&*folders, &error);
    if (!encoded) abort();  // anything read must be writable again
    auto again = quillon::decodeTrashList(*encoded, &error);
    if (!again || summary(*again) != summary(*folders)) abort();
    return 0;
}
