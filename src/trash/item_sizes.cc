#include "trash/item_sizes.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <set>
#include <string_view>

#include "base/localization.h"
#include "fs/atomic_file.h"
#include "fs/directory_listing.h"
#include "fs/file_identity.h"
#include "trash/trash_bookkeeping.h"

namespace quillon {

namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Takes the number at the start of `text` and the one space after it; false when they are not there.
template <typename Number>
bool takeField(std::string_view &text, Number &value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() + text.size() || *end != ' ') return false;
    text.remove_prefix(static_cast<size_t>(end - text.data()) + 1);
    return true;
}

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
    close(trash);
}

void ItemSizes::willMeasure(const std::vector<std::string> &names) {
    cached_.clear();
    if (files_ < 0 || names.empty()) return;
    const int trash = openat(files_, "..", kFolderFlags);
    const int fd = trash < 0 ? -1 : openDirectorySizes(trash);
    if (trash >= 0) close(trash);
    if (fd < 0) return;
    const std::set<std::string, std::less<>> wanted(names.begin(), names.end());
    std::string scratch;
    bool atStart = true;
    const bool readAll = forEachLine(fd, kLargestDirectorySizes, [&](std::string_view line, bool ends) {
        const bool whole = atStart && ends;  // a longer line than the reader holds is no item's
        atStart = ends;
        if (!whole) return true;
        const auto name = wanted.find(directorySizesName(line, scratch));
        uint64_t bytes;
        int64_t mtime;
        if (name != wanted.end() && takeField(line, bytes) && takeField(line, mtime)) cached_[*name] = {bytes, mtime};
        return true;  // a later line of a name replaces an earlier one
    });
    close(fd);
    if (!readAll) cached_.clear();  // a file cut short may lack the later line of a name
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
