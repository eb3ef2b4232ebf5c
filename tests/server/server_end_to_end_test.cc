// The real server binaries on a private session bus, with a temporary home.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/plist.h"
#include "private_bus.h"
#include "settings/server_client.h"
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
    quillon::testing::PrivateBus bus;
    quillon::testing::TempDir home;
    std::string files = home / ".local/share/Trash/files";
    std::string info = home / ".local/share/Trash/info";
    std::string listFile = home / ".config/local.vantor.quillon.list.plist";
    std::string log = home / "server.log";

    ServerEndToEnd() {
        quillon::testing::make_home_trash(home);
    }
    void SetUp() override { ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start"; }

    std::unique_ptr<ChildProcess> start(const std::string &binary = QUILLON_TEST_SERVER, const std::string &interval = "3600",
                                        const std::string &firstCycle = "3600") {
        std::vector<std::string> argv = {binary};
        if (binary == QUILLON_TEST_SERVER) argv.insert(argv.end(), {interval, "", firstCycle});
        return std::make_unique<ChildProcess>(argv, quillon::testing::session_environment(home.path(), bus.address()),
                                              log);
    }
    // A trash list file that has known `name` in the home trash since 2020.
    void rememberSince2020(const std::string &name) {
        make_dir(home / ".config");
        write_file(listFile, quillon::testing::trash_list_xml(files, {{name, "2020-01-01T00:00:00Z"}}));
    }
    bool logHas(const std::string &text) { return read_file(log).find(text) != std::string::npos; }
};

TEST_F(ServerEndToEnd, AnnouncesAnswersAndQuitsOnRequest) {
    rmdir((home / ".config").c_str());  // the server makes it
    quillon::testing::NotificationListener client(bus.address());
    auto server = start(QUILLON_SERVER);  // the installed binary itself
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");

    EXPECT_TRUE(ServerClient::quit());
    EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
    EXPECT_EQ(server->wait(60s), 0);
    EXPECT_TRUE(logHas("Starting Quillon server 1.0\n"));
    EXPECT_TRUE(logHas("Stopping Quillon server 1.0.0\n"));
    EXPECT_TRUE(exists(listFile));  // no file at start: the shutdown saved one
    struct stat st;
    ASSERT_EQ(stat((home / ".config").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(ServerEndToEnd, EveryQuitSignalTakesTheOrderlyShutdown) {
    for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        quillon::testing::NotificationListener client(bus.address());
        auto server = start();
        ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"}) << signo;
        server->signal(signo);
        EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
        EXPECT_EQ(server->wait(60s), 0) << signo;
    }
}

TEST_F(ServerEndToEnd, ASecondInstanceGivesWayAndTheFirstRunsOn) {
    quillon::testing::NotificationListener client(bus.address());
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

// A thousand items due at once go in one cycle, each before its info file; the server answers
// afterwards and its list file forgets them. bench/compare_trash.sh measures the same at scale.
// The cycle is the first one, which comes long before an hour's interval.
TEST_F(ServerEndToEnd, ARealCyclePurgesWhatIsDueAndAnswersAfterwards) {
    std::vector<std::pair<std::string, std::string>> remembered;
    for (int i = 0; i < 1000; i++) {
        remembered.emplace_back("item " + std::to_string(i), "2020-01-01T00:00:00Z");
        write_file(files + "/" + remembered.back().first, "x");
        write_file(info + "/" + remembered.back().first + ".trashinfo", "[Trash Info]\n");
    }
    write_file(files + "/fresh", "x");
    write_file(listFile, quillon::testing::trash_list_xml(files, remembered));
    auto server = start(QUILLON_TEST_SERVER, "3600", "0.2");
    EXPECT_TRUE(eventually([&] { return list_dir(files) == std::vector<std::string>{"fresh"} && list_dir(info).empty(); }, 300s));
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");
    ServerClient::quit();
    EXPECT_EQ(server->wait(60s), 0);
    const std::string saved = read_file(listFile);
    EXPECT_THAT(saved, Not(HasSubstr("item ")));
    EXPECT_THAT(saved, HasSubstr("<string>fresh</string>"));
}

TEST_F(ServerEndToEnd, AQuitDuringALongSecurePurgeIsTakenAfterThePurge) {
    make_dir(files + "/big");
    for (int i = 0; i < 100; i++) write_file(files + "/big/f" + std::to_string(i), std::string(8192, 'd'));
    rememberSince2020("big");
    write_file(home / ".config/local.vantor.quillon.plist",
               "<plist version=\"1.0\"><dict><key>secure</key><true/></dict></plist>");
    quillon::testing::NotificationListener client(bus.address());
    auto server = start(QUILLON_TEST_SERVER, "0.2");
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    ASSERT_TRUE(eventually([&] { return list_dir(files + "/big").size() < 100; }, 120s));

    EXPECT_TRUE(ServerClient::quit());  // one-way: it does not wait for the purge
    EXPECT_EQ(server->wait(300s), 0);
    EXPECT_FALSE(exists(files + "/big"));  // the purge ran to its end
    EXPECT_THAT(read_file(listFile), Not(HasSubstr("big")));
    EXPECT_EQ(client.waitFor(2, 60s), (std::vector<std::string>{"server launched", "server will terminate"}));
}

TEST_F(ServerEndToEnd, AStalledVolumeCostsOnlyItsOwnTrash) {
    const std::string why = private_mounts();
    if (!why.empty()) GTEST_SKIP() << why;
    StalledFuse stalled(home / "stall");
    if (!stalled.why().empty()) GTEST_SKIP() << stalled.why();
    write_file(home / "mounts", "40 1 0:99 / " + home / "stall" + " rw,nosuid,nodev - fuse.stall stall rw\n");
    write_file(files + "/ancient", "x");
    write_file(files + "/fresh", "x");
    // Known from before: the home item, and one in the stalled volume's trash.
    write_file(listFile, quillon::testing::trash_list_xml(files, {{"ancient", "2020-01-01T00:00:00Z"}},
                                                          home / "stall/.Trash-" + std::to_string(getuid()) + "/files",
                                                          {{"remembered", "2021-02-03T04:05:06Z"}}));

    quillon::testing::NotificationListener client(bus.address());
    auto server = std::make_unique<ChildProcess>(
        std::vector<std::string>{QUILLON_TEST_SERVER, "1", home / "mounts"},
        quillon::testing::session_environment(home.path(), bus.address()), log);
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    // The home trash is purged although the other volume never answers.
    EXPECT_TRUE(eventually([&] { return !exists(files + "/ancient"); }, 60s));
    EXPECT_TRUE(logHas(home / "stall" + " does not answer: its trash is left as it is until it does"));
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");

    // Stopped while a look-up on the volume still hangs (it would forever), the list file whole.
    server->signal(SIGTERM);
    EXPECT_EQ(server->wait(60s), 0);
    std::string error;
    const auto saved = decodePlist(read_file(listFile), &error);
    ASSERT_TRUE(saved) << error;
    const std::string text = read_file(listFile);
    EXPECT_THAT(text, Not(HasSubstr("ancient")));
    EXPECT_THAT(text, HasSubstr("<string>fresh</string>"));
    // What the stalled volume's trash held is kept as it was, not forgotten, not re-dated.
    EXPECT_THAT(text, HasSubstr("<string>remembered</string>\n\t\t\t\t<key>trashDate</key>\n\t\t\t\t<date>2021-02-03T04:05:06Z</date>"));
}

}  // namespace
}  // namespace quillon
