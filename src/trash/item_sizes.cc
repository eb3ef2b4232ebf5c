#include "trash/item_sizes.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <set>
#include <string_view>

#include "fs/atomic_file.h"
#include "fs/directory_listing.h"
#include "fs/file_identity.h"
#include "fs/safe_walk.h"
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

// Bytes of the regular files and links of a tree, on the file system of the boundary only
// (a folder on another one is not the trash's space); unknown once a folder cannot be read
// whole or lies deeper than `depthLimit`.
class TreeBytes : public SafeWalk {
 public:
    explicit TreeBytes(int depthLimit) : depthLimit_(depthLimit) {}
    std::optional<uint64_t> total() const { return known_ ? std::optional<uint64_t>(total_) : std::nullopt; }

 protected:
    bool onFile(const Entry &entry) override {
        if (S_ISREG(entry.id.mode) || S_ISLNK(entry.id.mode)) total_ += entry.id.size;
        return true;
    }
    bool onEnterDir(const Entry &entry) override {
        if (entry.depth > depthLimit_) known_ = false;
        return known_;
    }
    bool onLeaveDir(const Entry &, bool) override { return true; }
    void onTrouble(Trouble trouble, const Entry &entry) override {
        if (trouble == Trouble::otherFileSystem) {
            if (!S_ISDIR(entry.id.mode)) onFile(entry);  // a file mounted over one counts as itself
        } else if (trouble != Trouble::examine) {
            known_ = false;  // swapped or unreadable: the size is not known
        }
    }

 private:
    int depthLimit_;
    uint64_t total_ = 0;
    bool known_ = true;
};

// How deep a tree is counted: as deep as when each level held a descriptor of its own.
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
    TreeBytes tree(depthAllowed());
    tree.walk(files_, name, name, item, item);
    return tree.total();
}

}  // namespace quillon
