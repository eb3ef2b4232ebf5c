// The real server binaries on a private session bus, with a temporary home.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "client/server_client.h"
#include "plist/plist.h"
#include "trash/deletion_history.h"
#include "private_bus.h"
#include "process_runner.h"
#include "test_support.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using namespace std::chrono_literals;
using namespace quillon::testing;

class ServerEndToEnd : public ::testing::Test {
 protected:
    PrivateBus bus;
    TempDir home;
    std::string files = make_home_trash(home);
    std::string listFile = home / ".config/local.vantor.quillon.list.plist";
    std::string log = home / "server.log";

    void SetUp() override { ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start"; }
    // The test server (an hour's interval unless given; the first cycle an hour away at most), or another binary.
    std::unique_ptr<ChildProcess> start(const std::string &binary = QUILLON_TEST_SERVER, const std::string &interval = "3600") {
        std::vector<std::string> argv = {binary};
        if (binary == QUILLON_TEST_SERVER) argv.insert(argv.end(), {interval, "", "3600"});
        return std::make_unique<ChildProcess>(argv, session_environment(home.path(), bus.address()), log);
    }
    bool logHas(const std::string &text) { return read_file(log).find(text) != std::string::npos; }
};

// Asked to quit on the bus, or by any quit signal, it takes the orderly shutdown.
TEST_F(ServerEndToEnd, AnnouncesAnswersAndQuitsOnRequestOrSignal) {
    rmdir((home / ".config").c_str());  // the server makes it
    for (int signo : {0, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signo);
        NotificationListener client(bus.address());
        auto server = start(signo ? QUILLON_TEST_SERVER : QUILLON_SERVER);  // first the installed binary itself
        ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
        EXPECT_EQ(ServerClient::versionString(), "1.0.0");
        if (signo) server->signal(signo);
        else EXPECT_TRUE(ServerClient::quit());
        EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
        EXPECT_EQ(server->wait(60s), 0);
        if (signo) continue;
        EXPECT_TRUE(logHas("Starting Quillon server 1.0\n"));
        EXPECT_TRUE(logHas("Stopping Quillon server 1.0.0\n"));
        EXPECT_TRUE(exists(listFile));  // no file at start: the shutdown saved one
        struct stat st;
        ASSERT_EQ(stat((home / ".config").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}

TEST_F(ServerEndToEnd, ASecondInstanceGivesWayAndTheFirstRunsOn) {
    NotificationListener client(bus.address());
    auto first = start();
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    // A save of the first one's under way, and a user's own look-alike: the second touches neither.
    const std::string saving = listFile + ".quillon-tmp-Ab12Z9", backup = listFile + ".backup";
    write_file(saving, "half");
    write_file(backup, "mine");
    auto second = start();
    EXPECT_EQ(second->wait(60s), 0);
    EXPECT_TRUE(exists(saving));
    EXPECT_EQ(read_file(backup), "mine");
    EXPECT_TRUE(logHas("registring name 'local.vantor.quillon.server' with NSConnection failed"));
    EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");
    EXPECT_FALSE(first->wait(0ms));
    ServerClient::quit();
    EXPECT_EQ(first->wait(60s), 0);
}

// A volume whose path is not UTF-8 and spells markup (over two folders, "R&D <b>PAY<" and
// "b> \xe9"), holding an item named in Latin-1:
// purgeNow answers with both paths in the escaped form, and the desktop notice names the
// volume as plain text, whether or not the notification daemon reads markup.
TEST_F(ServerEndToEnd, PathsThatAreNotUtf8OrSpellMarkupReachTheBusAsText) {
    const std::string uid = std::to_string(getuid()), trash = "R&D <b>PAY</b> \xe9/.Trash-" + uid;
    // The mount table escapes spaces in octal, the list file is XML.
    const std::string inXml = home / "R&amp;D &lt;b&gt;PAY&lt;/b&gt; \xe9/.Trash-" + uid + "/files";
    // named: the volume's trash, as the notice names it
    const struct { bool markup; std::string named; } cases[] = {
        {false, home / "R&D <b>PAY</b> \\xe9/.Trash-" + uid},
        {true, home / "R&amp;D &lt;b&gt;PAY&lt;/b&gt; \\xe9/.Trash-" + uid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.markup);
        make_tree(home.path(), {"R&D <b>PAY</", "R&D <b>PAY</b> \xe9/", trash + "/", trash + "/files/", trash + "/files/caf\xe9=x"});
        write_file(home / "mounts", mountinfo_line(home / "R&D <b>PAY</b> \xe9", "ext4", "rw", home / "R&D\\040<b>PAY</b>\\040\xe9"));
        write_file(files + "/plain", "x");
        write_file(listFile, trash_list_xml(files, {{"plain", "2020-01-01T00:00:00Z"}}, inXml, {{"caf\xe9", "2020-01-01T00:00:00Z"}}));
        const std::string record = home / ("notices" + std::to_string(c.markup));
        std::vector<std::string> recorder = {QUILLON_NOTICE_SERVICE, record};
        if (c.markup) recorder.push_back("body-markup");
        ChildProcess service(recorder, session_environment(home.path(), bus.address()), home / "service.log");
        ASSERT_TRUE(eventually([&] { return exists(record + ".ready"); }, 60s));
        NotificationListener client(bus.address());
        ChildProcess server({QUILLON_TEST_SERVER, "3600", home / "mounts"}, session_environment(home.path(), bus.address()), log);
        ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});

        const auto purged = ServerClient::purgeNow();
        ASSERT_TRUE(purged);
        EXPECT_EQ(purged->deleted, (std::vector<std::string>{files + "/plain", home / "R&D <b>PAY</b> \\xe9/.Trash-" + uid + "/files/caf\\xe9"}));
        ASSERT_TRUE(eventually([&] { return read_file(record).ends_with("--\n"); }, 60s));
        EXPECT_EQ(read_file(record), "Quillon emptied the trash|Deleted 2 items, 2 bytes.\n" + home / ".local/share/Trash" +
                                         ": 1 item, 1 byte\n" + c.named + ": 1 item, 1 byte\n--\n");
        ServerClient::quit();
        EXPECT_EQ(server.wait(60s), 0);
    }
}

// What went reaches the history: a secure purge-now as a count and a size, then a plain
// deletion by age with its hostile name and its original location; the history found with a
// year-old entry, 10,000 others and a torn last line keeps the newest nine tenths, whole.
TEST_F(ServerEndToEnd, TheHistoryKeepsWhatWentBoundedAndWhole) {
    const std::string history = home / ".local/state/quillon/history", odd = "a\tb\n\\c\xff";
    const int64_t now = static_cast<int64_t>(CalendarDate::calendarDate().unixSeconds());
    std::string old = historyLine({now - 400 * 86400, "age", false, 1, 1, files, "ancient", ""});
    for (int i = 0; i < 10000; i++) old += historyLine({now - 86400 + i, "age", false, 1, 1, files, "r" + std::to_string(i), ""});
    for (const char *folder : {".local/state", ".local/state/quillon"}) make_dir(home / folder);
    write_file(history, old + "2026-01-01T00:00:00Z\tage\tplain\t1\t1\t/torn\tx\t/wor");
    write_file(files + "/s1", "123");
    write_file(files + "/s2", "4567");
    write_file(files + "/../info/" + odd + ".trashinfo", "[Trash Info]\nPath=%2Fwork%2Fa%09b\nDeletionDate=2020-01-01T00:00:00\n");
    write_file(home / ".config/local.vantor.quillon.plist", "<plist version=\"1.0\"><dict><key>secure</key><true/></dict></plist>");
    write_file(listFile, trash_list_xml(files, {{"s1", "2020-01-01T00:00:00Z"}, {"s2", "2020-01-01T00:00:00Z"}}));
    for (const bool secure : {true, false}) {
        NotificationListener client(bus.address());
        auto server = start(QUILLON_TEST_SERVER, secure ? "3600" : "0.2");
        ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
        EXPECT_TRUE(!secure || ServerClient::purgeNow());
        ASSERT_TRUE(eventually([&] { return readHistory(history)->size() == (secure ? 9000u : 9001u); }, 60s));
        ServerClient::quit();
        EXPECT_EQ(server->wait(60s), 0);
        if (!secure) continue;
        unlink((home / ".config/local.vantor.quillon.plist").c_str());
        write_file(files + "/" + odd, "12345");
        write_file(listFile, trash_list_xml(files, {{odd, "2020-01-01T00:00:00Z"}}));
    }
    auto entries = *readHistory(history);
    EXPECT_EQ(entries.front().name, "r1001");
    for (auto &entry : entries) entry.time = 0;
    EXPECT_EQ(std::vector<HistoryEntry>(entries.end() - 2, entries.end()),
              (std::vector<HistoryEntry>{{0, "purge-now", true, 2, 7, files, "", ""}, {0, "age", false, 1, 5, files, odd, "/work/a\tb"}}));
    struct stat st;
    ASSERT_EQ(stat(history.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ServerEndToEnd, AQuitDuringALongSecurePurgeIsTakenAfterThePurge) {
    make_dir(files + "/big");
    for (int i = 0; i < 100; i++) write_file(files + "/big/f" + std::to_string(i), std::string(8192, 'd'));
    write_file(listFile, trash_list_xml(files, {{"big", "2020-01-01T00:00:00Z"}}));
    write_file(home / ".config/local.vantor.quillon.plist",
               "<plist version=\"1.0\"><dict><key>secure</key><true/></dict></plist>");
    NotificationListener client(bus.address());
    auto server = start(QUILLON_TEST_SERVER, "0.2");
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    ASSERT_TRUE(eventually([&] { return list_dir(files + "/big").size() < 100; }, 120s));

    EXPECT_TRUE(ServerClient::quit());  // one-way: it does not wait for the purge
    EXPECT_EQ(server->wait(300s), 0) << read_file(log);
    EXPECT_FALSE(exists(files + "/big"));  // the purge ran to its end
    EXPECT_THAT(read_file(listFile), Not(HasSubstr("big")));
    EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
}

// A quit while a cycle waits on a volume that never answers ends the process, however long
// the wait would be otherwise: the stuck cycle is given up on.
TEST_F(ServerEndToEnd, AQuitEndsTheProcessWhileACycleWaitsOnAStalledVolume) {
    QUILLON_SKIP_IF(private_mounts());
    StalledFuse stalled(home / "stall");
    if (!stalled.why().empty()) GTEST_SKIP() << stalled.why();
    write_file(home / "mounts", "40 1 0:99 / " + home / "stall" + " rw,nosuid,nodev - fuse.stall stall rw\n");
    auto environment = session_environment(home.path(), bus.address());
    environment["QUILLON_TEST_PATIENCE"] = "3600";
    NotificationListener client(bus.address());
    ChildProcess server({QUILLON_TEST_SERVER, "0.2", home / "mounts"}, environment, log);
    stalled.waitForRequests(1);  // a cycle waits on it
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(60s), 0);
    EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
}

TEST_F(ServerEndToEnd, AStalledVolumeCostsOnlyItsOwnTrash) {
    QUILLON_SKIP_IF(private_mounts());
    StalledFuse stalled(home / "stall");
    if (!stalled.why().empty()) GTEST_SKIP() << stalled.why();
    write_file(home / "mounts", "40 1 0:99 / " + home / "stall" + " rw,nosuid,nodev - fuse.stall stall rw\n");
    write_file(files + "/ancient", "x");
    write_file(files + "/fresh", "x");
    // Known from before: the home item, and one in the stalled volume's trash.
    write_file(listFile, trash_list_xml(files, {{"ancient", "2020-01-01T00:00:00Z"}}, home / "stall/.Trash-" + std::to_string(getuid()) + "/files",
                                        {{"remembered", "2021-02-03T04:05:06Z"}}));
    NotificationListener client(bus.address());
    auto server = std::make_unique<ChildProcess>(std::vector<std::string>{QUILLON_TEST_SERVER, "1", home / "mounts"},
                                                 session_environment(home.path(), bus.address()), log);
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    // The home trash is purged although the other volume never answers.
    EXPECT_TRUE(eventually([&] { return !exists(files + "/ancient"); }, 60s));
    EXPECT_TRUE(logHas(home / "stall" + " does not answer: its trash is left as it is until it does"));
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");

    // Stopped while a look-up on the volume still hangs in the kernel (it would forever, even
    // through SIGKILL), the process is gone with the list file whole.
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(), 0);
    const std::string text = read_file(listFile);
    std::string error;
    ASSERT_TRUE(decodePlist(text, &error)) << error;
    EXPECT_THAT(text, Not(HasSubstr("ancient")));
    EXPECT_THAT(text, HasSubstr("<string>fresh</string>"));
    // What the stalled volume's trash held is kept as it was, not forgotten, not re-dated.
    EXPECT_THAT(text, HasSubstr("<string>remembered</string>\n\t\t\t\t<key>trashDate</key>\n\t\t\t\t<date>2021-02-03T04:05:06Z</date>"));
}

}  // namespace
}  // namespace quillon
