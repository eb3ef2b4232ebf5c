// libFuzzer target: reading a trash list file must never crash, whatever the bytes, and what
// it reads must survive a write and a second read unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "trash/trash_list_file.h"

namespace {

std::string summary(const quillon::FolderList &folders) {
    std::string text;
    for (const auto &folder : folders) {
        text += folder->path() + '\x1e';
        for (const auto &file : *folder->files()) {
            text += file->path() + '\x1f';
            text += file->trashDate() ? std::to_string(file->trashDate()->unixSeconds()) : "-";
            text += '\x1f';
        }
        text += '\x1d';
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string error;
    auto folders = quillon::decodeTrashList(std::string(reinterpret_cast<const char *>(data), size), &error);
    if (!folders) return 0;
    auto encoded = quillon::encodeTrashList(&*folders, &error);
    if (!encoded) abort();  // anything read must be writable again
    auto again = quillon::decodeTrashList(*encoded, &error);
    if (!again || summary(*again) != summary(*folders)) abort();
    return 0;
}
