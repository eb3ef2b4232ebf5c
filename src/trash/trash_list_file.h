// The coding of the trash list file: an XML property list whose top level is an array of
// folder dictionaries (TrashFolder::attributes: "path", "files" holding the item
// dictionaries, "volume"), each item dictionary that of TrashFile::attributes ("path",
// "trashDate", "fileNumber", "fileBirth" or "fileChange", "size"). What a folder or a record needs
// is decided by TrashFolder::folderWithAttributes and TrashFile::fileWithAttributes alone.
// The file is written and read one item dictionary at a time, never held as a tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "trash/trash.h"

namespace quillon {

// The trash list file: "local.vantor.quillon.list.plist" in the preferences folder.
std::string trashListFilePath();

// The file's bytes for `folders` (null: an empty array), or nullopt with `error`.
std::optional<std::string> encodeTrashList(const FolderList *folders, std::string *error);
// The same bytes written to `fd` as they are made, in pieces: false with `error` for folders
// that cannot be written, false with errno (and `error` empty) when writing fails.
bool writeTrashList(const FolderList *folders, int fd, std::string *error);

// The folders that `data` holds, in file order, or nullopt with `error` when the data is not
// a property list or its top level is not an array. Folder and item dictionaries of the wrong
// shape are skipped; unknown keys are ignored.
std::optional<FolderList> decodeTrashList(std::string_view data, std::string *error);
// The same for the file at `path`, read piece by piece; a file that cannot be read leaves
// errno set, malformed data errno 0.
std::optional<FolderList> readTrashList(const std::string &path, std::string *error);

}  // namespace quillon
