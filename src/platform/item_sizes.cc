#include "platform/item_sizes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/directory_listing.h"
#include "platform/file_identity.h"
#include "platform/localization.h"
#include "platform/trash_bookkeeping.h"

namespace quillon {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr size_t kLargestSizesFile = 64u << 20;

// Bytes below the open folder `fd` (which the call closes), on the file system of `boundary`
// only. Each level holds one descriptor, so the depth is bounded by what the process may open.
std::optional<uint64_t> treeBytes(int fd, const FileIdentity &boundary, int depthLeft) {
    std::optional<uint64_t> total = 0;
    const bool listed = forEachEntry(fd, [&](const dirent &entry) {
        FileIdentity id;
        if (!total || !examineEntry(fd, entry.d_name, id)) return;  // gone since it was listed
        if (!S_ISDIR(id.mode)) {
            if (S_ISREG(id.mode) || S_ISLNK(id.mode)) *total += id.size;
            return;
        }
        if (!sameFileSystem(id, boundary)) return;  // another file system's: not the trash's space
        const int child = depthLeft > 0 ? openat(fd, entry.d_name, kFolderFlags) : -1;
        FileIdentity opened;
        if (child < 0 || !examineEntry(child, "", opened, AT_EMPTY_PATH) || opened.device != id.device ||
            opened.inode != id.inode) {
            if (child >= 0) close(child);
            total.reset();  // swapped, unreadable or too deep: the size is not known
            return;
        }
        const auto below = treeBytes(child, boundary, depthLeft - 1);
        if (below) *total += *below;
        else total.reset();
    });
    close(fd);
    if (!listed) total.reset();
    return total;
}

int depthAllowed() {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur < 64) return 32;
    return static_cast<int>(std::min<rlim_t>(limit.rlim_cur - 32, 4096));
}

}  // namespace

ItemSizes::ItemSizes(const PinnedFolder &files) {
    files_ = files.isOpen() ? fcntl(files.fd(), F_DUPFD_CLOEXEC, 0) : -1;
    if (files_ >= 0 && !examineEntry(files_, "", trash_, AT_EMPTY_PATH)) {
        close(files_);
        files_ = -1;
    }
    if (files_ < 0) return;
    const int trash = openat(files_, "..", kFolderFlags);
    if (trash < 0) return;
    info_ = openat(trash, "info", kFolderFlags);
    // Lines "BYTES MTIME NAME": NAME percent-encoded, MTIME that of its info file when counted.
    if (auto text = readWholeFileAt(trash, "directorysizes", kLargestSizesFile)) {
        std::istringstream lines(*text);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            uint64_t bytes;
            int64_t mtime;
            std::string name;
            if (fields >> bytes >> mtime >> name) cached_[percentDecode(name)] = {bytes, mtime};
        }
    }
    close(trash);
}

ItemSizes::~ItemSizes() {
    if (files_ >= 0) close(files_);
    if (info_ >= 0) close(info_);
}

bool ItemSizes::present(const std::string &name) const {
    struct stat st;
    return files_ >= 0 && isPlainName(name) &&
           fstatat(files_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0;
}

std::optional<uint64_t> ItemSizes::bytes(const std::string &name) const {
    FileIdentity item;
    if (files_ < 0 || !isPlainName(name) || !examineEntry(files_, name.c_str(), item)) return std::nullopt;
    // An item that is itself a mount point shows another file system's space: none of the trash's.
    if (!sameFileSystem(item, trash_)) return 0;
    if (!S_ISDIR(item.mode)) return S_ISREG(item.mode) || S_ISLNK(item.mode) ? item.size : 0;
    // The cache is current while the item's info file has the time it was counted at.
    struct stat info;
    const auto cached = cached_.find(name);
    if (cached != cached_.end() && info_ >= 0 &&
        fstatat(info_, (name + ".trashinfo").c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        info.st_mtime == cached->second.second)
        return cached->second.first;
    const int folder = openat(files_, name.c_str(), kFolderFlags);
    FileIdentity opened;
    if (folder < 0 || !examineEntry(folder, "", opened, AT_EMPTY_PATH) || opened.inode != item.inode ||
        opened.device != item.device) {
        if (folder >= 0) close(folder);
        return std::nullopt;
    }
    return treeBytes(folder, opened, depthAllowed());
}

std::string sizeText(uint64_t bytes) {
    if (bytes < 1024) return formatted(localizedPlural("%llu byte", "%llu bytes", bytes), static_cast<unsigned long long>(bytes));
    const std::string units[] = {localizedString("%.1f KiB"), localizedString("%.1f MiB"), localizedString("%.1f GiB"),
                                 localizedString("%.1f TiB"), localizedString("%.1f PiB")};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(units)) {
        value /= 1024;
        unit++;
    }
    return formatted(units[unit], value);
}

}  // namespace quillon
