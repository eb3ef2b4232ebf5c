// A trash full of awkward and hostile things, purged plainly and securely by the server's own
// cycle: nothing outside the trash may change, every item left behind is logged at every
// cycle, and the server carries on.
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "base/log.h"
#include "bus/run_loop.h"
#include "preferences/preferences.h"
#include "preferences/user_defaults.h"
#include "server/server_cycle.h"
#include "server/trash_server.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;

// Everything below `root` (links not followed): type, size, mode and contents of each entry.
std::map<std::string, std::string> snapshot(const std::string &root) {
    static std::map<std::string, std::string> *out;
    std::map<std::string, std::string> result;
    out = &result;
    nftw(
        root.c_str(),
        [](const char *path, const struct stat *st, int, struct FTW *) {
            // Not the link count: a hard link inside the trash shares it, and goes with the trash.
            std::string entry = std::to_string(st->st_mode) + ":" + std::to_string(st->st_size);
            if (S_ISREG(st->st_mode)) entry += ":" + std::to_string(std::hash<std::string>()(read_file(path)));
            if (S_ISLNK(st->st_mode)) {
                char target[PATH_MAX];
                const ssize_t n = readlink(path, target, sizeof target);
                entry += ":" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            }
            (*out)[path] = entry;
            return 0;
        },
        16, FTW_PHYS);
    return result;
}

// A chain of directories whose full path runs past PATH_MAX, with a file at the bottom.
void makeDeepTree(const std::string &top) {
    make_dir(top);
    int fd = open(top.c_str(), O_RDONLY | O_DIRECTORY);
    const std::string name(250, 'd');
    for (int depth = 0; depth < PATH_MAX / 250 + 2; depth++) {
        mkdirat(fd, name.c_str(), 0700);
        const int child = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = child;
    }
    close(openat(fd, "bottom", O_CREAT | O_WRONLY, 0600));
    close(fd);
}

// Removes the named item just before the server's own removal of it runs.
class VanishingEnvironment : public quillon::testing::TestEnvironment {
 public:
    using TestEnvironment::TestEnvironment;
    bool removeItem(const std::string &path, uint64_t *freed) override {
        return TestEnvironment::removeItem(vanish(path), freed);
    }
    bool secureDelete(const std::string &path, int level) override {
        return TestEnvironment::secureDelete(vanish(path), level);
    }

 private:
    const std::string &vanish(const std::string &path) {
        if (path.size() >= 9 && path.compare(path.size() - 9, 9, "vanishing") == 0) unlink(path.c_str());
        return path;
    }
};

class HostileTrash : public ::testing::TestWithParam<bool> {
 protected:
    quillon::testing::TempDir home;
    VanishingEnvironment environment{home.path()};
    quillon::testing::TempDir outside;
    std::string files = home / ".local/share/Trash/files";
    quillon::testing::CapturedLog capturedLog;
    std::vector<std::string> &logged = capturedLog.lines;
    bool immutable = false;

    HostileTrash() {
        quillon::testing::make_home_trash(home);
        UserDefaults::resetStandardUserDefaults();
    }
    ~HostileTrash() override {
        quillon::testing::set_immutable(files + "/immutable", false);
        UserDefaults::resetStandardUserDefaults();
    }
    void fillTrash() {
        make_tree(outside.path(), {"dir/", "dir/precious=years of work", "file=tax records", "linked=shared data"});
        make_tree(files, {"link to a folder->" + outside / "dir", "link to a file->" + outside / "file", "folder with links/",
                          "folder with links/inner->" + outside / "dir", "new\nline=x", "bad utf-8 \xff\xfe=x", "-rf=x",
                          "--help=x", std::string(255, 'n') + "=x", "unreadable/", "unreadable/inside=x", "immutable=x",
                          "fifo|", "vanishing=x"});
        ASSERT_EQ(link((outside / "linked").c_str(), (files + "/hard link").c_str()), 0);
        makeDeepTree(files + "/deep");
        chmod((files + "/unreadable").c_str(), 0);
        immutable = quillon::testing::set_immutable(files + "/immutable", true);
        bind_socket(files + "/socket");
    }
    RunLoop loop;
    std::unique_ptr<TrashServer> server;
    // A server, with secure deletion when asked, whose first cycle has seen the trash.
    void startServer(bool secure) {
        if (secure) {
            Preferences preferences;
            preferences.setSecure(true);
        }
        server = std::make_unique<TrashServer>(loop);
        cycle(*server, loop);
    }
    // The cycle five days later, when everything is due; what the secure engine said.
    std::string cycleFiveDaysLater() {
        environment.advance(5 * 86400);
        ::testing::internal::CaptureStderr();  // the secure engine reports on standard error
        cycle(*server, loop);
        return ::testing::internal::GetCapturedStderr();
    }
    // The failures logged since the last call, in any order.
    std::multiset<std::string> failuresLogged() {
        std::multiset<std::string> out;
        for (const auto &line : logged)
            if (line.rfind("could not ", 0) == 0) out.insert(line.substr(0, line.rfind(" (")));  // the path, without why
        logged.clear();
        return out;
    }
};

TEST_P(HostileTrash, NothingOutsideChangesAndWhatStaysIsLoggedEveryCycle) {
    const bool secure = GetParam();
    fillTrash();
    const auto before = snapshot(outside.path());
    startServer(secure);
    EXPECT_TRUE(failuresLogged().empty());  // first seen: nothing is due
    const std::string engine = cycleFiveDaysLater();
    EXPECT_EQ(snapshot(outside.path()), before) << "something outside the trash changed";

    // What is left must be exactly what was logged, and logged again at the next cycle. The
    // secure engine also reports the hard link: its name went, but its data (shared with the
    // file outside) was not overwritten.
    std::vector<std::string> left = list_dir(files);
    auto failure = [&](const std::string &name) {
        return (secure ? "could not securely delete: " : "could not delete: ") + escapedText(files + "/" + name);
    };
    std::multiset<std::string> expected;
    for (const auto &name : left) expected.insert(failure(name));
    std::multiset<std::string> expectedFirst = expected;
    if (secure) expectedFirst.insert(failure("hard link"));
    EXPECT_EQ(failuresLogged(), expectedFirst) << engine;
    cycle(*server, loop);
    EXPECT_EQ(failuresLogged(), expected);

    // Only these may stay: an immutable file; for the secure engine, which overwrites before it
    // unlinks, also special files, which it leaves alone. Trees deeper than PATH_MAX go too.
    std::vector<std::string> allowed = {"immutable"};
    if (secure) allowed.insert(allowed.end(), {"fifo", "socket"});
    for (const auto &name : left)
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), name), allowed.end()) << name << " was not deleted";
    if (immutable) {
        EXPECT_NE(std::find(left.begin(), left.end(), "immutable"), left.end());
    }
    EXPECT_EQ(read_file(outside / "linked"), "shared data");
}

INSTANTIATE_TEST_SUITE_P(PlainAndSecure, HostileTrash, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &param) { return param.param ? "Secure" : "Plain"; });

TEST(HostileTrashFolder, AFolderReplacedByALinkIsNeverFollowed) {
    quillon::testing::TempDir home, outside;
    quillon::testing::TestEnvironment environment(home.path());
    UserDefaults::resetStandardUserDefaults();
    write_file(outside / "precious", "keep");
    // The home trash's files folder, and a volume's, are links to a folder outside.
    make_tree(home.path(), {".config/", ".local/", ".local/share/", ".local/share/Trash/", "volume/", "volume/.Trash-0/",
                            ".local/share/Trash/files->" + outside.path(), "volume/.Trash-0/files->" + outside.path()});
    environment.setMounts({home / "volume"});
    // Records that claim the item has been there for years.
    write_file(home / ".config/local.vantor.quillon.list.plist",
               quillon::testing::trash_list_xml(home / ".local/share/Trash/files", {{"precious", "2001-01-01T00:00:00Z"}}));
    RunLoop loop;
    TrashServer server(loop);
    cycle(server, loop);
    auto folder = TrashFolder::folderWithPath(home / ".local/share/Trash/files");
    folder->setFiles(std::make_shared<FileList>(FileList{std::make_shared<TrashFile>("precious", CalendarDate::fromUnixTime(0))}));
    folder->purgeFilesOlderThan(environment.now(), false);  // even asked directly, it will not
    EXPECT_EQ(read_file(outside / "precious"), "keep");
    UserDefaults::resetStandardUserDefaults();
}

// Mounts that moved into the trash with their folder, or were put over an item: neither purge
// may delete or change what the mount shows, and the item's record stays for the next try.
TEST_P(HostileTrash, MountsInsideItemsAreLeftAloneAndTheirItemsKept) {
    const std::string why = private_mounts();
    if (!why.empty()) GTEST_SKIP() << why;
    const bool secure = GetParam();
    make_tree(outside.path(), {"Documents/", "Documents/report=years of work", "tax=tax records"});
    make_tree(files, {"project/", "project/mnt/", "project/notes=trash", "bound=", "scratch/", "scratch/ram/"});
    // A folder bind-mounted inside a trashed folder, a file bind-mounted as a trash item, a
    // tmpfs of the user's that went into the trash with its folder.
    std::string failed = mount_for_test(outside / "Documents", files + "/project/mnt", "bind");
    if (!failed.empty()) GTEST_SKIP() << failed;
    ASSERT_EQ(mount_for_test(outside / "tax", files + "/bound", "bind"), "");
    ASSERT_EQ(mount_for_test("tmpfs", files + "/scratch/ram", "tmpfs", "size=1m"), "");
    write_file(files + "/scratch/ram/work", "unsaved work");
    const auto before = snapshot(outside.path());
    startServer(secure);
    const std::string engine = cycleFiveDaysLater();

    EXPECT_EQ(snapshot(outside.path()), before) << engine;
    EXPECT_EQ(read_file(files + "/scratch/ram/work"), "unsaved work");
    EXPECT_EQ(list_dir(files), (std::vector<std::string>{"bound", "project", "scratch"}));
    EXPECT_FALSE(exists(files + "/project/notes")) << "what lies on the item's own file system goes";
    auto folder = server->trash()->trashFolderWithPath(files);
    ASSERT_TRUE(folder);
    for (const char *name : {"bound", "project", "scratch"}) EXPECT_TRUE(folder->trashFileWithPath(name)) << name;
    umount2((files + "/scratch/ram").c_str(), MNT_DETACH);
    umount2((files + "/bound").c_str(), MNT_DETACH);
    umount2((files + "/project/mnt").c_str(), MNT_DETACH);
}

// The server's own files, replaced by things that are not regular files: it neither hangs nor
// crashes, says why once, and goes on with what it would do without them.
TEST(HostileOwnFiles, NonRegularListOrSettingsFilesReadAsUnreadable) {
    const struct {
        const char *name;
        std::function<void(const std::string &)> plant;
    } plants[] = {
        {"FIFO", [](const std::string &path) { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
        {"link to /dev/zero", [](const std::string &path) { ASSERT_EQ(symlink("/dev/zero", path.c_str()), 0); }},
    };
    for (const auto &plant : plants) {
        for (const char *file : {"local.vantor.quillon.list.plist", "local.vantor.quillon.plist"}) {
            SCOPED_TRACE(std::string(plant.name) + " as " + file);
            quillon::testing::TempDir home;
            quillon::testing::TestEnvironment environment(home.path());
            quillon::testing::make_home_trash(home);
            UserDefaults::resetStandardUserDefaults();
            plant.plant(home / ".config/" + file);
            quillon::testing::CapturedLog log;
            {
                RunLoop loop;
                TrashServer server(loop);
                server.updatePreferences();  // what "preferences changed" from any client does
                cycle(server, loop);
            }
            EXPECT_FALSE(log.lines.empty());
            bool said = false;
            for (const auto &line : log.lines) said = said || line.find("not a regular file") != std::string::npos;
            EXPECT_TRUE(said) << (log.lines.empty() ? "" : log.lines[0]);
            UserDefaults::resetStandardUserDefaults();
        }
    }
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

// A volume that answers its trash folder as the user's to the first look-ups and as a link to
// a folder of the user's (one holding files/) afterwards: nothing of that folder is
// remembered, and nothing in it changes, however many look-ups it takes to turn.
TEST(HostileVolume, ATrashFolderThatTurnsIntoALinkIsNeverFollowed) {
    using namespace quillon::testing;
    const std::string why = private_mounts();
    if (!why.empty()) GTEST_SKIP() << why;
    TempDir home;
    TestEnvironment environment(home.path());
    make_tree(home.path(), {"decoy/", "decoy/files/", "decoy/files/precious=years of work", "decoy/files/stray=x",
                            "decoy/info/", "decoy/info/precious.trashinfo=[Trash Info]"});
    const auto before = snapshot(home / "decoy");
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
        EXPECT_EQ(snapshot(home / "decoy"), before);
        for (const auto &known : *trash.folders()) EXPECT_FALSE(known->trashFileWithPath("stray"));
    }
}

}  // namespace
}  // namespace quillon
