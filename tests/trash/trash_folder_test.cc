#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>

#include "fs/blocking_work.h"
#include "trash/trash_folder.h"
#include "process_runner.h"
#include "trash_fixture.h"

namespace quillon {
namespace {

using namespace quillon::testing;
using namespace std::chrono_literals;

class TrashFolderTest : public TrashFixture {
 protected:
    std::shared_ptr<TrashFolder> folder = TrashFolder::folderWithPath(files);

    // A cycle with the cut-off `age` seconds before the clock.
    bool cycle(double age, bool secure = false) {
        return folder->processTrash({CalendarDate::fromUnixSeconds(environment.now().unixSeconds() - age), secure});
    }
    std::vector<std::string> sortedNames() {
        std::vector<std::string> out;
        for (const auto &file : *folder->files()) out.push_back(file->path());
        std::sort(out.begin(), out.end());
        return out;
    }
};

TEST_F(TrashFolderTest, ScanKeepsRecordsByNameDatesNewOnesAndForgetsGoneOnes) {
    make_tree(files, {".hidden-dir/", ".hidden-dir/inner=x", ".dotfile=x"});  // dot names are not items
    EXPECT_FALSE(folder->files());  // no list before the first scan
    EXPECT_TRUE(cycle(1000));       // an empty list is a change from none
    EXPECT_TRUE(folder->files() && folder->files()->empty());
    trashItem("kept");
    trashItem("goes away");
    trashItem("Goes away");  // names are exact: another item
    EXPECT_TRUE(cycle(1000));
    auto kept = folder->trashFileWithPath("kept");
    ASSERT_TRUE(kept);
    const CalendarDate first_seen = *kept->trashDate();
    EXPECT_EQ(first_seen, environment.now());

    environment.advance(60);
    unlink((files + "/goes away").c_str());
    trashItem("arrived");
    EXPECT_TRUE(cycle(1000));
    EXPECT_EQ(sortedNames(), (std::vector<std::string>{"Goes away", "arrived", "kept"}));
    EXPECT_EQ(folder->trashFileWithPath("kept"), kept);  // the very same record
    EXPECT_EQ(kept->trashDate(), first_seen);
    EXPECT_EQ(folder->trashFileWithPath("arrived")->trashDate(), environment.now());

    environment.advance(60);
    EXPECT_FALSE(cycle(1000));  // same items, same order: no change
}

TEST_F(TrashFolderTest, CutOffIsStrictAndNothingIsDeletedInTheCycleThatFirstSeesIt) {
    trashItem("a");
    cycle(0);  // first seen now; a cut-off of now does not reach it
    EXPECT_TRUE(exists(files + "/a"));
    environment.advance(100);
    cycle(100);  // dated exactly at the cut-off: stays
    EXPECT_TRUE(exists(files + "/a"));
    // One nanosecond past it: goes. Dates are compared exactly, not as seconds in a double.
    const CalendarDate firstSeen = *folder->trashFileWithPath("a")->trashDate();
    folder->processTrash({CalendarDate(firstSeen.timePoint() + std::chrono::nanoseconds(1)), false});
    EXPECT_FALSE(exists(files + "/a"));
    EXPECT_FALSE(exists(trashRoot + "/info/a.trashinfo"));
}

// A purge killed between an item and its info file leaves the info file alone: it goes once it
// has been alone from one cycle to the next and is an hour old by its own time, never in the
// cycle that first finds it. A trashing program writes the info file first, and one that copies
// a folder in from another volume renames the item into place only at the end.
TEST_F(TrashFolderTest, InfoFilesLeftAloneByAKilledPurgeGoACycleLater) {
    // age: of the info file at the first cycle, in seconds
    // goneAfter: the cycle after which it is gone; 0: never
    const struct { const char *name; double age; int goneAfter; } cases[] = {
        {"killed", 2 * 3600, 2},  // found by the first cycle, removed by the second
        {"copying", 600, 4},      // young until the clock moves on an hour before the fourth
        {"dated ahead", -86400, 0},
        {"arrives", 2 * 3600, 0},  // its item is renamed into place before the second cycle
    };
    for (const auto &c : cases) {
        const std::string info = trashRoot + "/info/" + c.name + ".trashinfo";
        write_file(info, "[Trash Info]\nPath=/home/u/secret\n");
        const double mtime = environment.now().unixSeconds() - c.age;
        const timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, info.c_str(), times, 0), 0);
    }
    for (int n = 1; n <= 4; n++) {
        if (n == 2) write_file(files + "/arrives", "x");
        if (n == 4) environment.advance(3600);
        cycle(1e9);
        for (const auto &c : cases)
            EXPECT_EQ(exists(trashRoot + "/info/" + c.name + ".trashinfo"), c.goneAfter == 0 || n < c.goneAfter)
                << c.name << " after cycle " << n;
    }
}

// An item is the same item only while it is the same file: a name restored and reused, or
// another volume mounted where the trash was, starts its age afresh.
TEST_F(TrashFolderTest, ADifferentFileUnderAKnownNameIsANewItem) {
    trashItem("report.pdf");
    trashItem("other");
    cycle(1e9);
    environment.advance(5 * 86400);
    // Restored (moved out, so its inode lives on elsewhere), then another file trashed
    // under the same name.
    ASSERT_EQ(rename((files + "/report.pdf").c_str(), (home / "restored.pdf").c_str()), 0);
    trashItem("report.pdf");
    EXPECT_TRUE(cycle(86400));  // a new record is a change to save
    EXPECT_TRUE(exists(files + "/report.pdf")) << "the new file inherited the old one's age";
    EXPECT_EQ(folder->trashFileWithPath("report.pdf")->trashDate(), environment.now());
    EXPECT_FALSE(exists(files + "/other"));  // the same file all along: due, and gone

    // Another folder at the same path (a different stick at the same mount point).
    environment.advance(5 * 86400);
    remove_all(files);
    make_dir(files);
    trashItem("report.pdf");
    trashItem("other");
    EXPECT_TRUE(cycle(86400));
    EXPECT_EQ(sortedNames(), (std::vector<std::string>{"other", "report.pdf"}));
    EXPECT_EQ(folder->trashFileWithPath("report.pdf")->trashDate(), environment.now());
}

// A file deleted for good frees its inode, and ext4 gives it to the next new file at once:
// that file, trashed under the deleted item's name, is a new item all the same, whether the
// file system keeps birth times (256-byte inodes) or only change times (128-byte ones).
TEST_F(TrashFolderTest, ANewFileOnTheInodeOfADeletedItemIsANewItem) {
    QUILLON_SKIP_IF(private_mounts());
    const std::string image = home / "ext4.img", log = home / "tools.log";
    auto entryOf = [&](const std::string &name) {
        for (const PinnedFolder::Entry &entry : PinnedFolder(files).entries())
            if (entry.name == name) return entry;
        return PinnedFolder::Entry{};
    };
    std::string skipped;
    for (const auto &[inodeSize, kind] : {std::pair{"256", StampKind::birth}, std::pair{"128", StampKind::change}}) {
        SCOPED_TRACE(std::string(inodeSize) + "-byte inodes");
        if (ChildProcess({"/usr/sbin/mkfs.ext4", "-q", "-F", "-I", inodeSize, image, "4M"}, {}, log).wait(std::chrono::minutes(1)) != 0 ||
            ChildProcess({"/usr/bin/mount", "-o", "loop", image, files}, {}, log).wait(std::chrono::minutes(1)) != 0)
            GTEST_SKIP() << "no ext4 image mounted: " << read_file(log);
        rmdir((files + "/lost+found").c_str());
        folder = TrashFolder::folderWithPath(files);
        trashItem("photo.jpg");
        cycle(1e9);
        const PinnedFolder::Entry old = entryOf("photo.jpg");
        EXPECT_EQ(folder->trashFileWithPath("photo.jpg")->stampKind(), kind);
        environment.advance(5 * 86400);
        // Deleted for good behind the server's back; the new file is made once the kernel's
        // file clock has moved on from the old one's stamp.
        ASSERT_TRUE(eventually([&] {
            unlink((files + "/photo.jpg").c_str());
            trashItem("photo.jpg", "new");
            return entryOf("photo.jpg").stamp != old.stamp;
        }, std::chrono::minutes(1)));
        if (entryOf("photo.jpg").inode != old.inode) {
            skipped += std::string(" ext4 with ") + inodeSize + "-byte inodes gave the new file another inode;";
        } else {
            EXPECT_TRUE(cycle(86400));
            ASSERT_TRUE(exists(files + "/photo.jpg")) << "the new file inherited the deleted item's age";
            EXPECT_EQ(folder->trashFileWithPath("photo.jpg")->trashDate(), environment.now());
        }
        umount2(files.c_str(), MNT_DETACH);
    }
    if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A removal that stops answering is given up on; the items gone before it are reported
// deleted, never failed, and lose their records.
TEST_F(TrashFolderTest, WhatWentBeforeAStallIsReportedDeleted) {
    trashItem("a");
    trashItem("b");
    cycle(0);
    environment.advance(100);
    std::promise<void> release;
    std::atomic<int> removals{0};
    environment.failRemoval = [&, released = release.get_future().share()](const std::string &) {
        if (removals++ == 1) released.wait();  // the second removal hangs
        return false;
    };
    // Run as a cycle under a flag with a short patience; its end is awaited, not a patience.
    CycleReport report;
    std::promise<void> ended;
    {
        BackgroundWork work([&] { folder->processTrash({environment.now(), false}, report); },
                            std::make_shared<QuitFlag>(Patience{200ms, 200ms}), [&] { ended.set_value(); });
        ended.get_future().wait();
    }
    for (const std::string &path : report.failed) EXPECT_TRUE(exists(path)) << path;
    for (const std::string &path : report.deleted) {
        EXPECT_FALSE(exists(path)) << path;
        EXPECT_FALSE(folder->trashFileWithPath(path.substr(files.size() + 1)));
    }
    release.set_value();
    EXPECT_TRUE(eventually([] { return !abandonedWorkRuns(); }, 60s));
}

TEST_F(TrashFolderTest, RecordsReadFromAFile) {
    // Order differs from the scan's, a duplicate name, a record without a date, a record of an
    // older file without a stamp.
    trashItem("b");
    trashItem("a");
    trashItem("c");
    auto loaded = TrashFolder::folderWithAttributes(PlistDictionary{
        {"path", files},
        {"files", PlistArray{PlistDictionary{{"path", "zzz"}, {"trashDate", CalendarDate::fromUnixTime(5)}},
                             PlistDictionary{{"path", "a"}},
                             PlistDictionary{{"path", "b"}, {"trashDate", CalendarDate::fromUnixTime(10)}},
                             PlistDictionary{{"path", "b"}, {"trashDate", CalendarDate::fromUnixTime(20)}},
                             PlistDictionary{{"path", "c"}, {"trashDate", CalendarDate::fromUnixTime(20)}},
                             PlistValue("not a dictionary")}}});
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->files()->size(), 5u);
    EXPECT_TRUE(loaded->processTrash({CalendarDate::fromUnixTime(15), false}));
    auto a = loaded->trashFileWithPath("a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->trashDate(), environment.now());  // its age starts at the scan that meets it
    EXPECT_FALSE(exists(files + "/b"));            // the first "b" record, dated 10, wins
    EXPECT_EQ(loaded->files()->size(), 2u);
    EXPECT_EQ(loaded->trashFileWithPath("c")->trashDate(), CalendarDate::fromUnixTime(20));  // not dated anew
    EXPECT_NE(loaded->trashFileWithPath("c")->stampKind(), StampKind::none);                 // but stamped
}

}  // namespace
}  // namespace quillon
