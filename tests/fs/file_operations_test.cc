#include <fcntl.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/size_text.h"
#include "fs/atomic_file.h"
#include "fs/directory_listing.h"
#include "fs/file_removal.h"
#include "trash/item_sizes.h"
#include "trash/trash_bookkeeping.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;

TEST(AtomicFile, NewFilesArePrivateAFailedWriteChangesNothingAndKilledSavesAreCleared) {
    TempDir dir;
    ASSERT_TRUE(writeFileAtomically(dir / "list.plist", "one"));
    struct stat st;
    ASSERT_EQ(stat((dir / "list.plist").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(writeFileAtomically(dir / "list.plist", "two"));
    EXPECT_EQ(read_file(dir / "list.plist"), "two");

    EXPECT_FALSE(writeFileAtomically(dir / "missing/list.plist", "x"));
    EXPECT_FALSE(exists(dir / "missing"));  // never created
    make_dir(dir / "occupied");
    write_file(dir / "occupied/child", "x");  // a non-empty directory cannot be replaced
    EXPECT_FALSE(writeFileAtomically(dir / "occupied", "x"));
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"list.plist", "occupied"}));  // no temporary left

    // What a killed save leaves is cleared; a user's own look-alikes stay.
    remove_all(dir / "occupied");
    for (const char *name : {"list.plist.quillon-tmp-Ab12Z9", "list.plist.Ab12Z9", "list.plist.quillon-tmp-ab-123",
                             "other.plist.quillon-tmp-Ab12Z9"})
        write_file(dir / name, "x");
    removeStaleTemporaries(dir / "list.plist");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"list.plist", "list.plist.Ab12Z9",
                                                               "list.plist.quillon-tmp-ab-123",
                                                               "other.plist.quillon-tmp-Ab12Z9"}));
}

// Whatever stands where a file of ours should be, reading it never blocks, never reads
// without end, and says why it failed.
TEST(AtomicFile, ReadsOnlyRegularFilesOfASaneSize) {
    TempDir dir;
    make_tree(dir.path(), {"fifo|", "zero->/dev/zero", "big=" + std::string(2048, 'x'), "plain=text", "link->" + dir / "plain"});
    // error: 0 when read
    const struct { const char *name; int error; } cases[] = {{"fifo", EINVAL}, {"zero", EINVAL}, {"big", EFBIG}, {"missing", ENOENT}, {"plain", 0}, {"link", 0}};
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(readWholeFile(dir / c.name, 1024) ? 0 : errno, c.error) << c.name;
    }
    // Relative to a folder, a link is not followed at all.
    int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_FALSE(readWholeFileAt(fd, "link", 1024));
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(readWholeFileAt(fd, "plain", 1024).value_or(""), "text");
    close(fd);
}

struct BookkeepingTest : ::testing::Test {
    TempDir dir;
    TestEnvironment environment{dir.path()};
    const std::string trash = dir / "Trash";
    BookkeepingTest() { make_tree(dir.path(), {"Trash/", "Trash/files/", "Trash/info/"}); }
    // One purge's bookkeeping over the names given.
    void forget(const std::vector<std::string> &names, bool securely, std::vector<bool> expected = {}) {
        PinnedFolder files(trash + "/files");
        TrashBookkeeping bookkeeping(files);
        for (size_t i = 0; i < names.size(); i++)
            EXPECT_EQ(bookkeeping.forget(names[i], securely), expected.empty() || expected[i]) << names[i];
        bookkeeping.finish();
    }
};

// A scan vouches for the next only when the folder had lain unchanged for the settling time
// before it; the next scan then leaves its entries unstamped, until the folder changes.
TEST(ScanFolder, OnlyASettledFolderSparesTheNextScanItsStamps) {
    TempDir dir;
    write_file(dir / "a", "x");
    const PinnedFolder folder(dir.path());
    struct statx sx {};
    ASSERT_EQ(statx(AT_FDCWD, dir.path().c_str(), 0, STATX_CTIME, &sx), 0);
    const int64_t changed = sx.stx_ctime.tv_sec * int64_t{1'000'000'000} + sx.stx_ctime.tv_nsec;
    EXPECT_EQ(scanFolder(folder, 0, changed + kSettleNanoseconds).settled, 0);
    const FolderListing first = scanFolder(folder, 0, changed + kSettleNanoseconds + 1);
    ASSERT_EQ(first.settled, changed);
    EXPECT_NE(first.entries.at(0).stampKind, StampKind::none);
    EXPECT_EQ(scanFolder(folder, first.settled, changed + 2 * kSettleNanoseconds).entries.at(0).stampKind, StampKind::none);
    write_file(dir / "b", "y");
    for (const auto &entry : scanFolder(folder, first.settled, changed + 2 * kSettleNanoseconds).entries)
        EXPECT_NE(entry.stampKind, StampKind::none) << entry.name;
}

TEST_F(BookkeepingTest, InfoFilesAndSizeLinesGoWithTheirItemsInOneRewrite) {
    make_tree(trash, {"info/my dir.trashinfo=[Trash Info]\nPath=/secret/my%20dir\n", "info/other.trashinfo=x", "info/kept.trashinfo=x",
                      "directorysizes=4096 1700000000 my%20dir\n8192 1700000001 other\n1 2 kept\n"});
    forget({"my dir"}, false);
    EXPECT_EQ(read_file(trash + "/directorysizes"), "8192 1700000001 other\n1 2 kept\n");
    forget({"other", "never-listed"}, true);  // secure path; a name with no line changes nothing else
    EXPECT_EQ(list_dir(trash + "/info"), std::vector<std::string>{"kept.trashinfo"});
    EXPECT_EQ(read_file(trash + "/directorysizes"), "1 2 kept\n");

    environment.failRemoval = [](const std::string &path) { return path.find(".trashinfo") != std::string::npos; };
    CapturedLog log;
    forget({"kept"}, false, {false});
    EXPECT_EQ(log.lines, std::vector<std::string>{"could not delete: " + trash + "/info/kept.trashinfo (Operation not permitted)"});
    EXPECT_EQ(percentDecode("a%2Fb%zz%4") + percentDecode("caf%C3%A9"), "a/b%zz%4caf\xc3\xa9");
    // An info entry that is no regular file is left where it is, and said.
    make_tree(trash, {"info/odd.trashinfo/", "info/odd.trashinfo/x=1"});
    forget({"odd"}, false, {false});
    EXPECT_TRUE(exists(trash + "/info/odd.trashinfo/x"));
    EXPECT_NE(log.lines.back().find("not a regular file"), std::string::npos) << log.lines.back();
}

// A directorysizes larger than any real one (65 MiB, 4.9 million short lines) is read as a
// stream: measuring keeps only the lines of the names measured, in memory bounded by their
// count, and a rewrite keeps every line but the gone item's.
TEST_F(BookkeepingTest, AHugeDirectorySizesIsStreamedInBoundedMemory) {
    make_tree(trash, {"files/first/", "files/first/a=abc", "files/my dir/", "files/my dir/b=b", "info/first.trashinfo=x",
                      "info/my dir.trashinfo=x"});
    auto line = [&](const char *bytes, const std::string &item, const char *encoded) {
        struct stat st;
        EXPECT_EQ(stat((trash + "/info/" + item + ".trashinfo").c_str(), &st), 0);
        return std::string(bytes) + " " + std::to_string(st.st_mtime) + " " + encoded + "\n";
    };
    const std::string head = line("777", "first", "first"), tail = line("999", "my dir", "my%20dir");
    // Written a piece at a time: a child measured later starts with what this process holds.
    auto writeSizes = [&](size_t filler) {
        const int fd = open((trash + "/directorysizes").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        std::string text = head;
        for (size_t i = 0; i <= filler; i++) {
            if (i < filler) text += "1 2 f" + std::to_string(10'000'000 + i) + "\n";
            if (i == filler) text += tail;
            if (text.size() < (1 << 20) && i < filler) continue;
            EXPECT_TRUE(writeAll(fd, text.data(), text.size()));
            text.clear();
        }
        close(fd);
    };
    // Whether a child that did nothing else read both sizes right, and its peak memory (KiB).
    auto measure = [&]() -> std::pair<bool, long> {
        const pid_t child = fork();
        if (child == 0) {
            const PinnedFolder pinned(trash + "/files");
            ItemSizes sizes(pinned);
            sizes.willMeasure({"first", "my dir"});
            _exit(sizes.bytes("first") == 777u && sizes.bytes("my dir") == 999u ? 0 : 1);
        }
        int status = -1;
        struct rusage usage {};
        EXPECT_EQ(wait4(child, &status, 0, &usage), child);
        return {status == 0, usage.ru_maxrss};
    };
    writeSizes(0);
    const auto tiny = measure();
    writeSizes(4'900'000);
    const auto big = measure();
    EXPECT_TRUE(tiny.first && big.first) << "sizes misread";
    EXPECT_LT(big.second - tiny.second, 16 << 10) << "KiB more for the big file";

    struct stat before, after;
    ASSERT_EQ(stat((trash + "/directorysizes").c_str(), &before), 0);
    forget({"first"}, false);
    ASSERT_EQ(stat((trash + "/directorysizes").c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size - static_cast<off_t>(head.size()));
    const std::string rest = read_file(trash + "/directorysizes");
    EXPECT_EQ(rest.substr(0, 15), "1 2 f10000000\n1");
    EXPECT_EQ(rest.substr(rest.size() - tail.size()), tail);
}

// Sizes count what lies in the trash itself: a link as itself, never its target; nothing on
// another file system; a directorysizes line only while its info file has the time it names.
TEST(ItemSizes, CountOnlyWhatLiesInTheTrash) {
    TempDir dir;
    const std::string trash = dir / "Trash", files = trash + "/files", outside = dir / "outside";
    make_tree(dir.path(), {"Trash/", "Trash/info/", "Trash/info/cached.trashinfo=[Trash Info]", "Trash/info/tree.trashinfo=x",
                           "outside/", "outside/big=" + std::string(100000, 'b'), "Trash/files/"});
    make_tree(files, {"tree/", "tree/sub/", "tree/mnt/", "cached/", "tree/a=abc", "tree/sub/b=defg", "tree/to-big->" + outside + "/big",
                      "tree/fifo|", "link->" + outside, "cached/x=x", "bound="});
    struct stat st;
    ASSERT_EQ(stat((trash + "/info/cached.trashinfo").c_str(), &st), 0);
    write_file(trash + "/directorysizes", "777 " + std::to_string(st.st_mtime) + " cached\n5 1 tree\n");
    const bool mounted = private_mounts().empty() && mount_for_test(outside, files + "/tree/mnt", "bind").empty() &&
                         mount_for_test(outside + "/big", files + "/bound", "bind").empty();

    const PinnedFolder pinned(files);
    ItemSizes sizes(pinned);
    sizes.willMeasure({"tree", "cached"});
    EXPECT_EQ(sizes.bytes("tree"), 3u + 4u + (outside + "/big").size());  // the stale line is not used
    EXPECT_EQ(sizes.bytes("link"), outside.size());
    EXPECT_EQ(sizes.bytes("cached"), 777u);
    EXPECT_EQ(sizes.bytes("bound"), 0u);  // a file mounted over an item: the trash holds none of it
    for (const char *name : {"missing", "../outside", "..", "."})  // ".." a tampered record naming the trash itself
        EXPECT_FALSE(sizes.bytes(name) || sizes.present(name)) << name;
    EXPECT_TRUE(sizes.present("link"));
    for (auto [bytes, text] : std::vector<std::pair<uint64_t, std::string>>{
             {1023, "1023 bytes"}, {1536, "1.5 KiB"}, {uint64_t{1} << 20, "1.0 MiB"}, {uint64_t{5} << 30, "5.0 GiB"}})
        EXPECT_EQ(sizeText(bytes), text);
    if (mounted) {
        umount2((files + "/tree/mnt").c_str(), MNT_DETACH);
        umount2((files + "/bound").c_str(), MNT_DETACH);
    }
    // A trash folder that is a link is not looked into.
    ASSERT_EQ(symlink(files.c_str(), (dir / "linked-files").c_str()), 0);
    EXPECT_FALSE(ItemSizes(PinnedFolder(dir / "linked-files")).present("tree"));
}

}  // namespace
}  // namespace quillon
