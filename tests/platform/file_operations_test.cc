#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/directory_listing.h"
#include "platform/file_removal.h"
#include "platform/log.h"
#include "platform/trash_bookkeeping.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;

TEST(RemoveTree, NeverFollowsLinksOutOfTheTree) {
    TempDir dir;
    make_dir(dir / "outside");
    write_file(dir / "outside/keep", "keep");
    make_dir(dir / "item");
    make_dir(dir / "item/sub");
    write_file(dir / "item/sub/f", "x");
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "item/sub/to-dir").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside/keep").c_str(), (dir / "item/to-file").c_str()), 0);
    ASSERT_EQ(symlink((dir / "outside").c_str(), (dir / "link-item").c_str()), 0);
    EXPECT_TRUE(removeTree(dir / "item"));
    EXPECT_TRUE(removeTree(dir / "link-item"));
    EXPECT_TRUE(removeTree(dir / "never-was"));
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"outside"});
    EXPECT_EQ(read_file(dir / "outside/keep"), "keep");
}

TEST(RemoveTree, ReachesTreesDeeperThanPathMax) {
    TempDir dir;
    make_dir(dir / "deep");
    int fd = open((dir / "deep").c_str(), O_RDONLY | O_DIRECTORY);
    const std::string name(200, 'd');
    for (int depth = 0; depth < 2 * PATH_MAX / 200; depth++) {  // 8 KiB of path and more
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0700), 0);
        int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = child;
    }
    close(openat(fd, "bottom-file", O_CREAT | O_WRONLY, 0600));
    close(fd);
    EXPECT_TRUE(removeTree(dir / "deep"));
    EXPECT_FALSE(exists(dir / "deep"));
}

TEST(RemoveTree, RemovesWhatItCanAndReportsWhatItCannot) {
    TempDir dir;
    make_dir(dir / "item");
    write_file(dir / "item/locked", "x");
    write_file(dir / "item/free", "x");
    if (!quillon::testing::set_immutable(dir / "item/locked", true)) GTEST_SKIP() << "no immutable flag here";
    EXPECT_FALSE(removeTree(dir / "item"));
    EXPECT_EQ(list_dir(dir / "item"), std::vector<std::string>{"locked"});
}

TEST(ListFolder, TopLevelOnlyAndNothingThroughALink) {
    TempDir dir;
    make_dir(dir / "f");
    make_dir(dir / "f/sub");
    write_file(dir / "f/sub/inner", "x");
    write_file(dir / "f/.hidden", "x");
    auto names = listFolder(dir / "f");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "sub"}));
    ASSERT_EQ(symlink((dir / "f").c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(listFolder(dir / "link").empty());
    EXPECT_TRUE(listFolder(dir / "missing").empty());
}

TEST(AtomicFile, NewFilesArePrivateAndAFailedWriteChangesNothing) {
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
}

TEST(AtomicFile, StaleTemporariesOfOneFileAreCleared) {
    TempDir dir;
    for (const char *name : {"list.plist", "list.plist.Ab12Z9", "list.plist.abc12", "list.plist.abc1234",
                             "list.plist.ab-123", "other.plist.Ab12Z9"})
        write_file(dir / name, "x");
    removeStaleTemporaries(dir / "list.plist");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"list.plist", "list.plist.ab-123", "list.plist.abc12",
                                                               "list.plist.abc1234", "other.plist.Ab12Z9"}));
}

TEST(TrashBookkeeping, InfoFileAndSizeLineGoWithTheItem) {
    TempDir dir;
    quillon::testing::TestEnvironment environment(dir.path());
    const std::string trash = dir / "Trash";
    make_dir(trash);
    make_dir(trash + "/files");
    make_dir(trash + "/info");
    write_file(trash + "/info/my dir.trashinfo", "[Trash Info]\nPath=/secret/my%20dir\n");
    write_file(trash + "/info/other.trashinfo", "[Trash Info]\n");
    write_file(trash + "/directorysizes", "4096 1700000000 my%20dir\n8192 1700000001 other\n");
    EXPECT_TRUE(forgetTrashedItem(trash + "/files", "my dir", false));
    EXPECT_EQ(list_dir(trash + "/info"), std::vector<std::string>{"other.trashinfo"});
    EXPECT_EQ(read_file(trash + "/directorysizes"), "8192 1700000001 other\n");

    EXPECT_TRUE(forgetTrashedItem(trash + "/files", "other", true));  // secure path
    EXPECT_TRUE(list_dir(trash + "/info").empty());
    EXPECT_EQ(read_file(trash + "/directorysizes"), "");

    environment.failRemoval = [](const std::string &path) { return path.find("/info/") != std::string::npos; };
    write_file(trash + "/info/stuck.trashinfo", "x");
    quillon::testing::CapturedLog log;
    EXPECT_FALSE(forgetTrashedItem(trash + "/files", "stuck", false));
    EXPECT_EQ(log.lines, std::vector<std::string>{"could not delete: " + trash + "/info/stuck.trashinfo"});

    EXPECT_TRUE(forgetTrashedItem(dir / "not-a-trash", "x", false));
    EXPECT_EQ(percentDecode("a%2Fb%zz%4"), "a/b%zz%4");
}

}  // namespace
}  // namespace quillon
