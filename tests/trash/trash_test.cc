#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <cstring>

#include "trash/trash.h"
#include "trash/trash_list_file.h"
#include "trash_fixture.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;
using namespace quillon::testing;

class TrashTest : public quillon::testing::TrashFixture {
 protected:
    std::string listFile = home / ".config/local.vantor.quillon.list.plist";

    // A volume with a trash of the user's, mounted at home/NAME.
    std::string volume(const std::string &name) {
        const std::string own = name + "/.Trash-" + std::to_string(getuid());
        make_tree(home.path(), {name + "/", own + "/", own + "/files/"});
        return home / own + "/files";
    }
    PurgeRequest request(double age = 1e6) {
        return {CalendarDate::fromUnixSeconds(environment.now().unixSeconds() - age), false};
    }
    std::vector<std::string> folderPaths(const Trash &trash) {
        std::vector<std::string> out;
        if (trash.folders())
            for (const auto &folder : *trash.folders()) out.push_back(folder->path());
        return out;
    }
    ino_t inodeOfList() {
        struct stat st;
        return stat(listFile.c_str(), &st) == 0 ? st.st_ino : 0;
    }
};

// Whatever stands where the list file should be, a registry starts with changes to save: no
// file or a folder there give an empty list, an unreadable file none until the first scan,
// with one line saying why; so finding no trash folder at all is a change only then. Released,
// it writes an empty list wherever a file can go.
TEST_F(TrashTest, EveryStartStateHasChangesToSave) {
    remove_all(trashRoot);
    // stored: nullptr for no file, "/" for a folder
    const struct { const char *name, *stored, *said; bool folders; } cases[] = {
        {"no file", nullptr, "", true},
        {"a folder in its place", "/", "", true},
        {"a damaged file", "<?xml version=\"1.0\"?><plist><array><dict>", "NSPropertyListSerialization received error: ", false},
        {"a dictionary", "<plist><dict><key>path</key><string>x</string></dict></plist>",
         "NSPropertyListSerialization received error: the top level is not an array", false},
        {"a single value", "<plist><string>x</string></plist>",
         "NSPropertyListSerialization received error: the top level is not an array", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_all(listFile);
        logged.clear();
        const bool folder = c.stored && std::string(c.stored) == "/";
        if (folder) make_dir(listFile);
        else if (c.stored) write_file(listFile, c.stored);
        {
            auto trash = Trash::trashFromFile(listFile);
            EXPECT_EQ(trash->folders() != nullptr, c.folders);
            EXPECT_TRUE(!trash->folders() || trash->folders()->empty());
            EXPECT_TRUE(trash->unsavedChanges());
            EXPECT_EQ(logged.empty() ? "" : logged[0].substr(0, strlen(c.said)), c.said);
            EXPECT_EQ(logged.size(), *c.said ? 1u : 0u);
            EXPECT_EQ(trash->updateLists(), !c.folders);
            if (folder) {
                EXPECT_FALSE(trash->save());  // cannot replace a folder: stays unsaved
                EXPECT_TRUE(trash->unsavedChanges());
                trash->setUnsavedChanges(false);
            }
        }
        if (folder) continue;
        auto reread = Trash::trashFromFile(listFile);
        EXPECT_TRUE(reread->folders() && reread->folders()->empty());
        EXPECT_FALSE(reread->unsavedChanges());
    }
}

// Entries of the wrong shape are skipped one by one; the rest is read.
TEST_F(TrashTest, WrongShapesAreReadWithoutACrash) {
    std::string error;
    auto folders = decodeTrashList(
        "<plist><array>"
        "<string>not a folder</string>"
        "<dict><key>files</key><array/></dict>"                                          // no path
        "<dict><key>path</key><string>/p</string><key>files</key><string>x</string></dict>"  // files not an array
        "<dict><key>path</key><string>/ok</string><key>extra</key><true/></dict>"       // no files: empty list
        "</array></plist>",
        &error);
    ASSERT_TRUE(folders) << error;
    ASSERT_EQ(folders->size(), 1u);
    EXPECT_EQ((*folders)[0]->path(), "/ok");
    ASSERT_TRUE((*folders)[0]->files());
    EXPECT_TRUE((*folders)[0]->files()->empty());
}

TEST_F(TrashTest, RoundTripKeepsOrderWholeSecondsAndNeverScannedFolders) {
    Trash trash;
    auto scanned = TrashFolder::folderWithPath("/vol/b/.Trash-1000/files");
    auto first = std::make_shared<TrashFile>("z first", CalendarDate::fromUnixSeconds(1'800'000'000.9));
    auto second = std::make_shared<TrashFile>("a & <second>", CalendarDate::fromUnixTime(1'700'000'000));
    second->setFileNumber(uint64_t{1} << 63);  // inode numbers may use the top bit
    second->setStamp(StampKind::change, -1);   // a change before 1970
    first->setStamp(StampKind::birth, 1'800'000'000'123'456'789);
    scanned->setFiles(std::make_shared<FileList>(FileList{first, second, std::make_shared<TrashFile>("undated\r", std::nullopt)}));
    scanned->setIdentity("00000801:42");
    trash.setFolders(std::make_shared<FolderList>(FolderList{scanned, TrashFolder::folderWithPath("/vol/a/never scanned")}));
    ASSERT_TRUE(trash.saveToFile(listFile));
    EXPECT_FALSE(trash.unsavedChanges());
    const std::string saved = read_file(listFile);
    EXPECT_THAT(saved, HasSubstr("<date>2027-01-15T08:00:00Z</date>"));

    // Read back, every field of every record writes out the same again.
    auto back = Trash::trashFromFile(listFile);
    EXPECT_FALSE(back->unsavedChanges());
    ASSERT_EQ(back->folders()->size(), 2u);
    ASSERT_TRUE((*back->folders())[1]->files());  // empty, not absent
    PlistArray dictionaries;
    for (const auto &folder : *back->folders()) dictionaries.push_back(folder->attributes());
    std::string error;
    EXPECT_EQ(encodePlist(dictionaries, &error).value_or(error), saved);
    EXPECT_THAT(back->description(), HasSubstr("undated\\x0d"));  // shown escaped, on one line
}

TEST_F(TrashTest, NothingUnsavedWritesNothingAndAFailedWriteIsRetried) {
    auto trash = Trash::trashFromFile(listFile);
    trash->processTrash(request());
    const ino_t written = inodeOfList();
    ASSERT_NE(written, 0u);
    EXPECT_FALSE(trash->unsavedChanges());
    trash->processTrash(request());  // nothing changed
    EXPECT_EQ(inodeOfList(), written);
    EXPECT_TRUE(trash->save());
    EXPECT_EQ(inodeOfList(), written);

    // A write into a missing folder fails, creates nothing, and is tried again; the first
    // failure of a run and the first success after it are logged, nothing in between.
    trash->setFilePath(home / "gone/list.plist");
    trashItem("new");
    trash->processTrash(request());
    trash->processTrash(request());
    EXPECT_TRUE(trash->unsavedChanges());
    EXPECT_FALSE(exists(home / "gone"));
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], "could not save " + home / "gone/list.plist" +
                             ": No such file or directory; what the server remembers is kept in memory until a save works");
    make_dir(home / "gone");
    trash->processTrash(request());
    EXPECT_FALSE(trash->unsavedChanges());
    EXPECT_EQ(logged.back(), "saved " + home / "gone/list.plist" + " again");
    EXPECT_EQ(logged.size(), 2u);
    EXPECT_THAT(read_file(home / "gone/list.plist"), HasSubstr("<string>new</string>"));
}

// A volume that fills up part way through a save larger than one written piece: the old file
// stays whole, no temporary is left, and the records wait for the next save.
TEST_F(TrashTest, ASaveThatFillsItsVolumeKeepsTheOldFileWhole) {
    QUILLON_SKIP_IF(private_mounts());
    const std::string small = home / "small";
    QUILLON_SKIP_IF(mount_for_test("tmpfs", small, "tmpfs", "size=1m"));
    auto trash = Trash::trashFromFile(small + "/list.plist");
    trash->processTrash(request());
    const std::string before = read_file(small + "/list.plist");
    for (int i = 0; i < 8000; i++) trashItem("a name long enough to make the records fill a megabyte " + std::to_string(i));
    trash->processTrash(request());
    EXPECT_TRUE(trash->unsavedChanges());
    EXPECT_EQ(read_file(small + "/list.plist"), before);
    EXPECT_EQ(list_dir(small), std::vector<std::string>{"list.plist"});
    ASSERT_FALSE(logged.empty());
    EXPECT_THAT(logged.back(), HasSubstr("No space left on device"));
    trash->setUnsavedChanges(false);
}

TEST_F(TrashTest, FoldersFollowTheMountTable) {
    const std::string a = volume("a"), b = volume("b");
    auto trash = Trash::trashFromFile(listFile);
    environment.setMounts({home / "a", home / "b"});
    EXPECT_TRUE(trash->updateLists());
    EXPECT_EQ(folderPaths(*trash), (std::vector<std::string>{files, a, b}));
    auto kept = trash->trashFolderWithPath(a);
    EXPECT_FALSE(trash->updateLists());
    EXPECT_EQ(trash->trashFolderWithPath(a), kept);  // the same object, with its records

    environment.setMounts({home / "b", home / "a"});  // swapped order
    EXPECT_TRUE(trash->updateLists());
    environment.setMounts({home / "b"});  // unmounted
    EXPECT_TRUE(trash->updateLists());
    EXPECT_EQ(folderPaths(*trash), (std::vector<std::string>{files, b}));
    environment.setMounts({home / "b", home / "a"});  // back again: a new folder
    EXPECT_TRUE(trash->updateLists());
    EXPECT_NE(trash->trashFolderWithPath(a), kept);
    trash->setUnsavedChanges(false);
}

// A volume that answers its trash folder as the user's to the first look-ups and as a link to
// a folder of the user's (one holding files/) afterwards: nothing of that folder is
// remembered, and nothing in it changes, however many look-ups it takes to turn.
TEST(HostileVolume, ATrashFolderThatTurnsIntoALinkIsNeverFollowed) {
    QUILLON_SKIP_IF(private_mounts());
    TempDir home;
    TestEnvironment environment(home.path());
    make_tree(home.path(), {"decoy/", "decoy/files/", "decoy/files/precious=years of work", "decoy/files/stray=x",
                            "decoy/info/", "decoy/info/precious.trashinfo=[Trash Info]"});
    const std::string trashName = ".Trash-" + std::to_string(getuid());
    for (int turnsAfter : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(turnsAfter);
        ScriptedFuse volume(home / "volume", {{1, trashName, getuid(), turnsAfter, home / "decoy"}, {2, "files", getuid(), -1, ""}});
        if (!volume.why().empty()) GTEST_SKIP() << volume.why();
        environment.setMounts({home / "volume"}, "fuse.test");
        auto folder = TrashFolder::folderWithPath(home / "volume/" + trashName + "/files");
        folder->setFiles(std::make_shared<FileList>(FileList{std::make_shared<TrashFile>("precious", CalendarDate::fromUnixTime(0))}));
        Trash trash;
        trash.setFolders(std::make_shared<FolderList>(FolderList{folder}));
        for (int cycle = 0; cycle < 3; cycle++) trash.processTrash({environment.now(), false});
        EXPECT_EQ(read_file(home / "decoy/files/precious"), "years of work");
        EXPECT_EQ(list_dir(home / "decoy/files"), (std::vector<std::string>{"precious", "stray"}));
        EXPECT_EQ(list_dir(home / "decoy/info"), std::vector<std::string>{"precious.trashinfo"});
        for (const auto &known : *trash.folders()) EXPECT_FALSE(known->trashFileWithPath("stray"));
    }
}

}  // namespace
}  // namespace quillon
