#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "trash/trash.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;

std::string mountLine(const std::string &point, const std::string &type, const std::string &options = "rw",
                      const std::string &shown = "") {
    return mountinfo_line(point, type, options, shown);
}

// The trash folders as the registry finds them for user 1000, through the mount table given.
class TrashLocationsTest : public ::testing::Test {
 protected:
    TempDir dir;
    TestEnvironment environment{dir.path()};
    const uid_t uid = 1000;
    std::string data = dir / ".local/share";

    std::vector<std::string> found(const std::string &table) {
        environment.setUserId(uid);
        environment.setMountTable(table);
        Trash trash;
        (void)trash.updateLists();
        std::vector<std::string> paths;
        for (const auto &folder : *trash.folders()) paths.push_back(folder->path());
        return paths;
    }

    // A volume at `name` with a trash of the given kind for `uid`.
    std::string volume(const std::string &name) {
        make_dir(dir / name);
        return dir / name;
    }
    void ownTrash(const std::string &top, uid_t owner) {
        make_dir(top + "/.Trash-" + std::to_string(uid));
        make_dir(top + "/.Trash-" + std::to_string(uid) + "/files");
        ASSERT_EQ(chown((top + "/.Trash-" + std::to_string(uid)).c_str(), owner, 0), 0);
    }
};

TEST_F(TrashLocationsTest, HomeTrashFirstThenMountsInTableOrder) {
    make_dir(dir / ".local");
    make_dir(data);
    make_dir(data + "/Trash");
    make_dir(data + "/Trash/files");
    const std::string b = volume("b"), a = volume("a");
    ownTrash(a, uid);
    ownTrash(b, uid);
    auto folders = found(mountLine(b, "ext4") + mountLine(a, "vfat"));
    EXPECT_EQ(folders, (std::vector<std::string>{data + "/Trash/files", b + "/.Trash-1000/files",
                                                 a + "/.Trash-1000/files"}));
}

TEST_F(TrashLocationsTest, SharedStickyTrashIsPreferredAndNeedsTheStickyBit) {
    const std::string v = volume("v"), w = volume("w");
    for (const auto &top : {v, w}) {
        make_dir(top + "/.Trash");
        make_dir(top + "/.Trash/1000");
        make_dir(top + "/.Trash/1000/files");
        ASSERT_EQ(chown((top + "/.Trash/1000").c_str(), uid, 0), 0);
        ownTrash(top, uid);
    }
    chmod((v + "/.Trash").c_str(), 01777);
    chmod((w + "/.Trash").c_str(), 0777);  // not sticky: not to be trusted
    auto folders = found(mountLine(v, "ext4") + mountLine(w, "ext4"));
    EXPECT_EQ(folders, (std::vector<std::string>{v + "/.Trash/1000/files", w + "/.Trash-1000/files"}));
}

TEST_F(TrashLocationsTest, ForeignLinkedMissingAndSystemTrashesAreLeftOut) {
    const std::string foreign = volume("foreign"), linked = volume("linked"), empty = volume("empty"),
                      proc = volume("proc"), notrash = volume("notrash"), forced = volume("forced");
    ownTrash(foreign, 4242);
    make_dir(dir / "elsewhere");
    make_dir(dir / "elsewhere/files");
    ASSERT_EQ(chown((dir / "elsewhere").c_str(), uid, 0), 0);
    ASSERT_EQ(symlink((dir / "elsewhere").c_str(), (linked + "/.Trash-1000").c_str()), 0);
    ownTrash(proc, uid);
    ownTrash(notrash, uid);
    ownTrash(forced, uid);
    std::string table = mountLine(foreign, "ext4") + mountLine(linked, "ext4") + mountLine(empty, "ext4") +
                        mountLine(proc, "proc") + mountLine(notrash, "ext4", "rw,x-gvfs-notrash") +
                        mountLine(forced, "tmpfs", "rw,x-gvfs-trash") + "garbage line\n";
    EXPECT_EQ(found(table), (std::vector<std::string>{forced + "/.Trash-1000/files"}));
    EXPECT_FALSE(quillon::testing::exists(empty + "/.Trash-1000"));  // nothing is created
}

TEST_F(TrashLocationsTest, AFolderReachedTwiceIsListedOnceAndEscapesAreDecoded) {
    const std::string spaced = volume("with space"), tabbed = volume("a\ttab\\");
    ownTrash(spaced, uid);
    ownTrash(tabbed, uid);
    ASSERT_EQ(symlink(spaced.c_str(), (dir / "bind").c_str()), 0);  // a second way to the same folder
    std::string escaped = dir / "with\\040space";
    auto folders = found(mountLine(spaced, "ext4", "rw", escaped) + mountLine(dir / "bind", "ext4") +
                         mountLine(spaced, "ext4", "rw", escaped) + mountLine(tabbed, "ext4", "rw", dir / "a\\011tab\\134"));
    EXPECT_EQ(folders, (std::vector<std::string>{spaced + "/.Trash-1000/files", tabbed + "/.Trash-1000/files"}));
}

}  // namespace
}  // namespace quillon
