#include "platform/directory_listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace quillon {

std::vector<std::string> listFolder(const std::string &folder) {
    std::vector<std::string> names;
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return names;
    DIR *listing = fdopendir(fd);
    if (!listing) {
        close(fd);
        return names;
    }
    while (dirent *entry = readdir(listing)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        names.emplace_back(entry->d_name);
    }
    closedir(listing);
    return names;
}

}  // namespace quillon
