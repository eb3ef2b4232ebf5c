// The records a FreeDesktop.org trash keeps beside its files folder, and their clean-up when
// an item has gone from it.
#pragma once

#include <string>

namespace quillon {

// Call after the item `name` is wholly gone from the trash folder `filesFolder`
// (".../Trash/files"). Drops the item's line from the trash's directorysizes cache (rewritten
// atomically, untouched when it has no such line) and removes info/`name`.trashinfo, through
// secure deletion when `securely`, since it holds the item's original path. A failure is
// logged ("could not delete: %s" or "could not securely delete: %s" with the info file's
// path) and gives false; a folder not named "files" has no records and gives true.
bool forgetTrashedItem(const std::string &filesFolder, const std::string &name, bool securely);

// The percent-decoded form of a directorysizes name field; the input unchanged where it holds
// no valid escape.
std::string percentDecode(const std::string &text);

}  // namespace quillon
