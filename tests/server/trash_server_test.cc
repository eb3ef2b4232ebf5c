#include <fcntl.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>
#include <time.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <optional>

#include "bus/desktop_notice.h"
#include "client/purge_preview.h"
#include "bus/session_bus.h"
#include "bus/run_loop.h"
#include "preferences/user_defaults.h"
#include "server/server_cycle.h"
#include "server/trash_server.h"
#include "private_bus.h"
#include "process_runner.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using namespace quillon::testing;
using ::testing::HasSubstr;
using ::testing::Not;

uint64_t bootTimeUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

class TrashServerTest : public ::testing::Test {
 protected:
    quillon::testing::PrivateBus bus;
    quillon::testing::TempDir home;
    quillon::testing::TestEnvironment environment{home.path()};
    std::string files = quillon::testing::make_home_trash(home);
    std::string listFile = home / ".config/local.vantor.quillon.list.plist";
    RunLoop loop;
    quillon::testing::CapturedLog capturedLog;
    std::vector<std::string> &logged = capturedLog.lines;

    TrashServerTest() { UserDefaults::resetStandardUserDefaults(); }
    ~TrashServerTest() override { UserDefaults::resetStandardUserDefaults(); }
    CycleReport cycle(TrashServer &server) { return quillon::testing::cycle(server, loop); }
};

// The loop is free while a cycle's file work waits (here a removal held until released): a
// purge asked for meanwhile is answered by a cycle that starts after it, and a firing of the
// timer meanwhile starts none.
TEST_F(TrashServerTest, APurgeAskedDuringACycleIsAnsweredByTheNextOne) {
    write_file(files + "/a", "x");
    TrashServer server(loop);
    cycle(server);
    environment.advance(5 * 86400);
    int entered[2], release[2];
    ASSERT_TRUE(pipe2(entered, O_CLOEXEC) == 0 && pipe2(release, O_CLOEXEC) == 0);
    std::atomic<int> removals{0};
    environment.failRemoval = [&](const std::string &path) {
        if (!path.ends_with("/a") || removals++ > 0) return false;
        char c = 0;
        return write(entered[1], &c, 1) == 1 && read(release[0], &c, 1) == 1;  // the first one fails
    };
    server.processTrash();
    char c;
    ASSERT_EQ(read(entered[0], &c, 1), 1);
    std::optional<CycleReport> report;
    server.purgeNow([&](const CycleReport &done) { report = done; });
    server.processTrash();
    ASSERT_EQ(write(release[1], &c, 1), 1);
    loop.runUntil([&] { return report.has_value(); });
    EXPECT_EQ(report->deleted, std::vector<std::string>{files + "/a"});
    EXPECT_EQ(removals, 2);
    EXPECT_FALSE(server.cycleRuns());  // the firing during the first left nothing to run
    for (int fd : {entered[0], entered[1], release[0], release[1]}) close(fd);
}

// An item goes once the server has seen it lie in the trash for the period (4 days), whatever
// the wall clock did: a jump moves the first-seen dates with it, a date later than now (read
// from the list file) becomes now; a slew below the tolerance and a suspend change nothing.
TEST_F(TrashServerTest, AnItemsAgeIsWhatTheServerSawWhateverTheWallClockDid) {
    const double day = 86400, year = 365 * day;
    const std::string moved = ": the first-seen dates moved with it, so the ages stay as observed";
    // seen, jump: time passing on both clocks, then the wall clock's own step
    // stays: after that cycle; when it stays, it goes 4 days after it was seen
    // said: the whole log
    // listed: its first-seen date in the list file, else seen by a cycle
    const struct { const char *name; double seen, jump; bool stays; std::string said; const char *listed = nullptr; } cases[] = {
        {"set 3 years forward", 900, 3 * year, true, "the wall clock jumped forward by 1095.0 days" + moved},
        {"5 days behind, put right", 900, 5 * day, true, "the wall clock jumped forward by 5.0 days" + moved},
        {"2 years ahead, put right", 900, -2 * year, true, "the wall clock jumped back by 730.0 days" + moved},
        {"a slew below the tolerance", 4 * day - 0.5, 1, false, ""},
        {"a suspend of 5 days", 5 * day, 0, false, ""},
        {"a list file dated ahead", 0, 0, true, "1 first-seen dates lay later than now: they are now", "2040-01-01T00:00:00Z"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        logged.clear();
        unlink(listFile.c_str());
        write_file(files + "/item", "x");
        if (c.listed) write_file(listFile, trash_list_xml(files, {{"item", c.listed}}));
        TrashServer server(loop);
        if (!c.listed) cycle(server);
        environment.advance(c.seen);
        environment.setWallClock(c.jump);
        cycle(server);
        EXPECT_EQ(exists(files + "/item"), c.stays);
        if (c.stays) {
            environment.advance(4 * day - c.seen - 1);
            cycle(server);
            EXPECT_TRUE(exists(files + "/item"));
            environment.advance(2);
            cycle(server);
            EXPECT_FALSE(exists(files + "/item"));
        }
        EXPECT_EQ(logged, c.said.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.said});
    }
}

// A volume left alone, by its file system's UUID or, without one, its mount point, keeps what
// is due and leaves the list file; switched back on, it is listed again.
TEST_F(TrashServerTest, AVolumeLeftAloneIsNeitherListedNorPurged) {
    QUILLON_SKIP_IF(private_mounts());
    const std::string volume = home / "vol", trash = volume + "/.Trash-" + std::to_string(getuid()) + "/files";
    QUILLON_SKIP_IF(mount_for_test("tmpfs", volume, "tmpfs"));
    environment.setMountTable(mountinfo_line(volume, "tmpfs"));
    struct stat st {};
    ASSERT_EQ(stat(volume.c_str(), &st), 0);
    for (const std::string uuid : {"", "5E1F-0A2B"}) {
        SCOPED_TRACE(uuid);
        if (!uuid.empty()) environment.uuids[st.st_dev] = uuid;
        const std::string id = uuid.empty() ? "mount:" + volume : "uuid:" + uuid;
        make_tree(volume, {".Trash-" + std::to_string(getuid()) + "/", trash.substr(volume.size() + 1) + "/", trash.substr(volume.size() + 1) + "/old=x"});
        TrashServer server(loop);
        cycle(server);
        auto choose = [&](bool purged) {
            Preferences::preferences()->setVolumePurged(id, purged);  // saved as the object goes
            server.updatePreferences();  // what "preferences changed" does
        };
        choose(false);
        environment.advance(5 * 86400);
        cycle(server);
        EXPECT_TRUE(exists(trash + "/old"));
        EXPECT_THAT(read_file(listFile), Not(HasSubstr(trash)));
        choose(true);
        cycle(server);
        EXPECT_THAT(read_file(listFile), HasSubstr(trash));
    }
}

// The first cycle comes a minute after the start, or one interval when that is shorter.
TEST_F(TrashServerTest, StartAndStopAreIdempotentAndTheFirstCycleComesWithinAMinute) {
    TrashServer server(loop);
    server.setResolution(3600);
    const uint64_t before = bootTimeUsec();
    server.start();
    ASSERT_TRUE(server.currentTimer());
    const uint64_t first = server.currentTimer()->nextFireTime();
    EXPECT_GE(first, before + 60'000'000u);
    EXPECT_LE(first, bootTimeUsec() + 60'000'000u);
    const RepeatingTimer *timer = server.currentTimer();
    server.start();
    EXPECT_EQ(server.currentTimer(), timer);
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "Starting Quillon server 1.0"), 1);

    server.stop();
    EXPECT_FALSE(server.currentTimer());
    EXPECT_TRUE(exists(listFile));  // the registry had unsaved changes: stop saved them
    unlink(listFile.c_str());
    server.stop();
    EXPECT_FALSE(exists(listFile));
    EXPECT_EQ(std::count(logged.begin(), logged.end(), "Stopping Quillon server 1.0.0"), 1);

    server.setResolution(30);
    const uint64_t restarted = bootTimeUsec();
    server.start();
    ASSERT_TRUE(server.currentTimer());
    EXPECT_GE(server.currentTimer()->nextFireTime(), restarted + 30'000'000u);
    EXPECT_LE(server.currentTimer()->nextFireTime(), bootTimeUsec() + 30'000'000u);
}

// The desktop hears of each cycle that deleted something, once: counts and sizes, per trash
// folder when there are several, and what stayed. Of a cycle that deleted nothing, or any
// cycle while notices are off, it hears nothing.
TEST_F(TrashServerTest, ACycleThatDeletesTellsTheDesktop) {
    ASSERT_TRUE(bus.ok());
    const std::string record = home / "notices";
    ChildProcess service({QUILLON_NOTICE_SERVICE, record}, session_environment(home.path(), bus.address()),
                         home / "service.log");
    ASSERT_TRUE(eventually([&] { return exists(record + ".ready"); }, 60s));
    const std::string own = "vol/.Trash-" + std::to_string(getuid()), volume = home / "vol", trash = home / own;
    make_tree(home.path(), {"vol/", own + "/", own + "/files/", own + "/files/d=1234"});
    environment.setMounts({volume});
    make_tree(files, {"a=x", "b/", "b/c=yz", "locked=x"});
    const bool locked = set_immutable(files + "/locked", true);
    TrashServer server(loop);
    cycle(server);
    environment.advance(5 * 86400);
    cycle(server);
    cycle(server);  // only the locked item is due, and stays: nothing to tell
    set_immutable(files + "/locked", false);
    Preferences().setNotifying(false);  // written as the object goes
    server.updatePreferences();
    write_file(files + "/e", "x");
    cycle(server);
    environment.advance(5 * 86400);
    cycle(server);
    EXPECT_FALSE(exists(files + "/e"));
    ASSERT_TRUE(sendDesktopNotice("marker", ""));  // what comes after anything the server sent
    ASSERT_TRUE(eventually([&] { return read_file(record).find("marker|") != std::string::npos; }, 60s));
    const std::string home_trash = home / ".local/share/Trash";
    EXPECT_EQ(read_file(record), locked ? "Quillon emptied the trash|Deleted 3 items, 7 bytes.\n" + home_trash + ": 2 items, 3 bytes\n" +
                                              trash + ": 1 item, 4 bytes\n1 item could not be deleted and stays for the next cycle.\n--\nmarker|\n--\n"
                                        : "Quillon emptied the trash|Deleted 4 items, 8 bytes.\n" + home_trash + ": 3 items, 4 bytes\n" +
                                              trash + ": 1 item, 4 bytes\n--\nmarker|\n--\n");
}

// A 1 MiB volume whose trash holds four 100 KiB items first seen 0.9 days apart, a the oldest,
// their sizes measured at first sight: the limits take the oldest, as the preview named them,
// and a restarted server trusts the sizes kept in the list file, whatever is on disk.
TEST_F(TrashServerTest, SpaceLimitsTakeTheOldestItemsAsThePreviewSaid) {
    QUILLON_SKIP_IF(private_mounts());
    const std::string volume = home / "vol", own = ".Trash-" + std::to_string(getuid()), trash = volume + "/" + own + "/files";
    QUILLON_SKIP_IF(mount_for_test("tmpfs", volume, "tmpfs", "size=1m"));
    environment.setMounts({volume});
    const auto set = [](int limit, int keepFree, int64_t minimumAge) {
        Preferences settings;  // written as it goes
        settings.setTrashLimit(limit), settings.setKeepFree(keepFree), settings.setMinimumAge(minimumAge);
    };
    const struct { const char *name; int limit, keepFree; int64_t minimumAge; bool keptSmall; std::vector<std::string> gone;
                   std::string notice; } cases[] = {
        {"over the limit: down to it, no further", 20, 0, 0, false, {"a", "b"}, " was over its limit of 20% of its volume."},
        {"the minimum age holds", 20, 0, 3 * 86400, false, {"a"}, ": its items are younger than the minimum age."},
        {"free space to keep", 0, 65, 0, false, {"a"}, " had less than 65% free."},
        {"kept sizes are trusted after a restart", 20, 0, 0, true, {}, ""},
    };
    ASSERT_TRUE(bus.ok());
    const std::string record = home / "notices";
    ChildProcess service({QUILLON_NOTICE_SERVICE, record}, session_environment(home.path(), bus.address()), home / "service.log");
    ASSERT_TRUE(eventually([&] { return exists(record + ".ready"); }, 60s));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        remove_all(volume + "/" + own);
        make_tree(volume, {own + "/", own + "/files/", own + "/info/"});
        set(99, 0, 0);  // on: sizes are measured at first sight
        {
            TrashServer server(loop);
            for (const char *name : {"a", "b", "c", "d"}) {
                write_file(trash + "/" + name, std::string(102400, 'x'));
                cycle(server);
                environment.advance(0.9 * 86400);
            }
        }
        std::string list = read_file(listFile);
        for (size_t at; c.keptSmall && (at = list.find("<integer>102400<")) != std::string::npos;) list.replace(at, 16, "<integer>1<");
        write_file(listFile, list);
        set(c.limit, c.keepFree, c.minimumAge);
        std::vector<std::string> named;
        for (const auto &folder : previewCycle(*rememberedFolders(nullptr), environment.now(), 1, 3, {c.limit, c.keepFree, c.minimumAge}))
            for (const auto &item : folder.items) named.push_back(item.name + (item.limit ? "" : " by age"));
        EXPECT_EQ(named, c.gone);
        logged.clear();
        TrashServer server(loop);
        cycle(server);
        std::vector<std::string> left = {"a", "b", "c", "d"};
        std::erase_if(left, [&](const std::string &name) { return std::count(c.gone.begin(), c.gone.end(), name); });
        EXPECT_EQ(list_dir(trash), left);
        EXPECT_EQ(std::count_if(logged.begin(), logged.end(), [](const std::string &line) { return line.find("younger than the minimum age") != std::string::npos; }),
                  c.minimumAge ? 1 : 0);
        ASSERT_TRUE(sendDesktopNotice("marker", c.name));  // what comes after anything the server sent
        ASSERT_TRUE(eventually([&] { return read_file(record).find(std::string("marker|") + c.name) != std::string::npos; }, 60s));
        const std::string told = read_file(record);
        EXPECT_EQ(told.find(volume + "/" + own + c.notice) != std::string::npos, !c.notice.empty()) << told;
        unlink(record.c_str());
    }
}

// A batch of items due within a day over the threshold is warned of once, with or without the
// daemon's actions; "Keep for a week" on that notice (and on no other id) keeps exactly its
// items, while an item due later goes on time.
TEST_F(TrashServerTest, ALargePurgeIsWarnedOfOnceAndKeptForAWeekOnRequest) {
    ASSERT_TRUE(bus.ok());
    ASSERT_TRUE(loop.attachBus(SessionBus::shared()));
    // The loop serves the bus (notices' answers, actions) until `done`.
    auto served = [&](const std::function<bool()> &done) {
        return eventually([&] { return sd_event_run(loop.event(), 10'000) >= 0 && done(); }, 60s);
    };
    for (const bool actions : {false, true}) {
        SCOPED_TRACE(actions);
        const std::string record = home / ("warnings" + std::to_string(actions));
        std::vector<std::string> recorder = {QUILLON_NOTICE_SERVICE, record};
        if (actions) recorder.push_back("actions");
        ChildProcess service(recorder, session_environment(home.path(), bus.address()), home / "service.log");
        ASSERT_TRUE(eventually([&] { return exists(record + ".ready"); }, 60s));
        {
            Preferences preferences;
            preferences.setWarnItems(2);
            preferences.setNotifying(false);  // only the warnings
        }
        make_tree(files, {"a=x", "b=x", "c=x"});
        TrashServer server(loop);
        cycle(server);
        environment.advance(86400);
        write_file(files + "/later", "x");
        cycle(server);
        environment.advance(2.5 * 86400);  // a, b and c are due within a day, "later" a day after them
        cycle(server);
        cycle(server);  // the same batch: no second warning
        ASSERT_TRUE(sendDesktopNotice("marker", ""));
        ASSERT_TRUE(served([&] { return read_file(record).find("marker|") != std::string::npos; }));
        const std::string warning = "Tomorrow Quillon deletes 3 items (3 bytes) from the trash|";
        ASSERT_EQ(read_file(record), warning + (actions ? "|show,keep-week|#1" : "") + "\n--\nmarker|\n--\n");
        if (!actions) {
            environment.advance(2 * 86400);
            cycle(server);
            EXPECT_TRUE(list_dir(files).empty());
            continue;
        }
        auto invoke = [&](uint32_t id) {
            sd_bus_error error{};
            ASSERT_GE(sd_bus_call_method(SessionBus::shared(), "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                         "org.freedesktop.Notifications", "Invoke", &error, nullptr, "us", id, "keep-week"), 0);
            sd_bus_error_free(&error);
        };
        auto keptUntil = [&](const char *name) { return server.trash()->trashFolderWithPath(files)->trashFileWithPath(name)->keepUntil(); };
        invoke(2);  // the marker's id: no warning of ours
        ASSERT_TRUE(sendDesktopNotice("marker2", ""));  // heard after the action, as it was sent after it
        ASSERT_TRUE(served([&] { return read_file(record).find("marker2|") != std::string::npos; }));
        EXPECT_EQ(keptUntil("a"), std::nullopt);
        invoke(1);
        ASSERT_TRUE(served([&] { return keptUntil("a").has_value(); }));
        const CalendarDate week = environment.now().dateByAdding(0, 0, 7, 0, 0, 0);
        EXPECT_EQ(keptUntil("b"), week);
        EXPECT_EQ(keptUntil("c"), week);
        EXPECT_EQ(keptUntil("later"), std::nullopt);
        environment.advance(2 * 86400);
        cycle(server);
        EXPECT_EQ(list_dir(files), (std::vector<std::string>{"a", "b", "c"}));
        environment.setWallClock(6 * 86400);  // a jump past the week: the keep is of observed time too
        cycle(server);
        EXPECT_EQ(list_dir(files).size(), 3u);
        EXPECT_THAT(read_file(listFile), ::testing::HasSubstr("<key>keepUntil</key>"));
    }
    loop.detachBus(SessionBus::shared());
}

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

// The server's own files, replaced by things that are not regular files: it neither hangs nor
// crashes, says why once, and goes on with what it would do without them.
TEST(HostileOwnFiles, NonRegularListOrSettingsFilesReadAsUnreadable) {
    for (const char *plant : {"|", "->/dev/zero"}) {  // a FIFO, a link to an endless device
        for (const std::string file : {"local.vantor.quillon.list.plist", "local.vantor.quillon.plist"}) {
            SCOPED_TRACE(file + plant);
            TempDir home;
            TestEnvironment environment(home.path());
            make_home_trash(home);
            UserDefaults::resetStandardUserDefaults();
            make_tree(home / ".config", {file + plant});
            quillon::testing::CapturedLog log;
            {
                RunLoop loop;
                TrashServer server(loop);
                server.updatePreferences();  // what "preferences changed" from any client does
                cycle(server, loop);
            }
            EXPECT_THAT(log.lines, ::testing::Contains(::testing::HasSubstr("not a regular file")));
            UserDefaults::resetStandardUserDefaults();
        }
    }
}

TEST(RunLoop, AQuitBeforeTheLoopRunsIsNotLost) {
    RunLoop loop;
    loop.stop();
    loop.run();  // returns at once

    RunLoop signalled;
    int heard = 0;
    ASSERT_TRUE(signalled.addSignalHandler(SIGUSR2, [&] {
        heard++;
        signalled.stop();
    }));
    raise(SIGUSR2);  // blocked: it waits for the loop
    signalled.run();
    EXPECT_EQ(heard, 1);
}

}  // namespace
}  // namespace quillon
