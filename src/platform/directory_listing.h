// The top level of a folder, as the trash scan needs it.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// The names of the entries directly in `folder`, in the order the directory yields them,
// without "." and "..". Nothing below the top level is visited. A folder that cannot be
// opened (missing, not a directory, unreadable, or itself a symbolic link) lists as empty.
std::vector<std::string> listFolder(const std::string &folder);

}  // namespace quillon
