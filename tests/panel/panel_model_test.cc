// The settings panel's logic against a real private bus and the real server binary: every
// choice is stored at once and announced; the model follows changes made elsewhere and the
// server's coming and going; it starts the server by D-Bus activation where no user manager
// is (where its main switch can turn nothing on for good, and says so), stops it, and empties
// what is due.
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>
#include <set>
#include <tuple>

#include "bus/session_bus.h"
#include "panel/panel_model.h"
#include "preferences/user_defaults.h"
#include "private_bus.h"
#include "process_runner.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;

using namespace std::chrono_literals;
using namespace quillon::testing;

// The bus daemon looks for activatable services below XDG_DATA_HOME: it must be set before it
// starts, and the service it starts must live in the test's home, not the user's.
struct ActivationHome {
    TempDir home;
    ActivationHome() {
        make_home_trash(home);
        make_tree(home / ".local/share", {"dbus-1/", "dbus-1/services/"});
        write_file(home / ".local/share/dbus-1/services/local.vantor.quillon.server.service",
                   "[D-BUS Service]\nName=local.vantor.quillon.server\nExec=/usr/bin/env HOME=" + home.path() +
                       " XDG_CONFIG_HOME= XDG_DATA_HOME= XDG_STATE_HOME= " QUILLON_TEST_SERVER " 3600\n");
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    }
    ~ActivationHome() { unsetenv("XDG_DATA_HOME"); }
};

class PanelModelTest : public ::testing::Test {
 protected:
    ActivationHome activation;
    TempDir &home = activation.home;
    PrivateBus bus;
    TestEnvironment environment{home.path()};
    std::string files = home / ".local/share/Trash/files";
    int shown = 0;

    PanelModelTest() { UserDefaults::resetStandardUserDefaults(); }
    ~PanelModelTest() override { UserDefaults::resetStandardUserDefaults(); }
    void SetUp() override { ASSERT_TRUE(bus.ok()); }
    // Processes the bus as the panel's loop does, until `condition` holds (a deadline only a
    // hang reaches).
    template <typename F>
    bool processUntil(F &&condition) {
        sd_bus *shared = SessionBus::shared();
        for (auto deadline = std::chrono::steady_clock::now() + 120s; !condition();) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (sd_bus_process(shared, nullptr) == 0) sd_bus_wait(shared, 100000);
        }
        return true;
    }
};

TEST_F(PanelModelTest, EveryChoiceIsStoredAtOnceAndTheCountsFollowTheUnit) {
    PanelModel model([&] { shown++; });
    EXPECT_EQ(model.counts().size(), 7u);
    model.chooseUnit(3);  // months: the count 4 (index 3) stays, and nothing is said
    EXPECT_EQ(model.periodNote(), "");
    model.chooseCount(11);
    model.chooseUnit(2);  // weeks: four counts at most, so the count 12 is pulled to 4, and said
    EXPECT_EQ(model.counts(), (std::vector<std::string>{"1", "2", "3", "4"}));
    EXPECT_EQ(model.periodNote(), "12 is more than weeks allow: the count is now 4 weeks");
    model.chooseCount(9);  // not offered: ignored
    model.chooseCount(1);
    EXPECT_EQ(model.periodNote(), "");
    model.chooseSecure(true);
    model.chooseNotifying(false);
    model.chooseTrashLimit(10), model.chooseKeepFree(101), model.chooseKeepFree(5), model.chooseMinimumAge(3600);  // 101: ignored
    UserDefaults::resetStandardUserDefaults();  // read again from the file
    const Preferences stored;
    EXPECT_EQ(std::make_tuple(stored.period(), stored.units(), stored.isSecure(), stored.isNotifying(), stored.trashLimit(),
                              stored.keepFree(), stored.minimumAge()),
              std::make_tuple(2, 1, true, false, 10, 5, int64_t{3600}));
    EXPECT_GT(shown, 4);
}

TEST_F(PanelModelTest, FollowsOtherWritersAndTheServerAndStartsStopsAndPurgesIt) {
    write_file(files + "/ancient", "12345");
    write_file(files + "/locked", "123");
    write_file(files + "/spare", "1");
    make_tree(files + "/..", {"info/", "info/ancient.trashinfo=[Trash Info]\nPath=/home/ana/My%20Notes\n"});
    write_file(home / ".config/local.vantor.quillon.list.plist",
               trash_list_xml(files, {{"ancient", "2020-01-01T00:00:00Z"}, {"locked", "2020-01-01T00:00:00Z"},
                                             {"spare", "2020-01-01T00:00:00Z"}}));
    const bool immutable = set_immutable(files + "/locked", true);
    if (!immutable) unlink((files + "/locked").c_str());
    PanelModel model([&] { shown++; });
    EXPECT_EQ(model.state(), "Not running");  // asking did not start it, though it can be activated
    EXPECT_EQ(model.startStopTitle(), "Start");
    EXPECT_FALSE(model.automatic());
    EXPECT_THAT(model.automaticNote(), HasSubstr("No systemd user manager answers"));
    model.chooseAutomatic(true);
    EXPECT_FALSE(model.automatic());
    EXPECT_THAT(model.automaticNote(), HasSubstr("could not be turned on: no systemd user manager answers"));
    ASSERT_EQ(model.dueRows().size(), immutable ? 3u : 2u);
    EXPECT_EQ(model.dueRows()[0].name + " " + model.dueRows()[0].size + " " + model.dueRows()[0].location,
              "ancient 5 bytes /home/ana/My Notes");
    EXPECT_FALSE(model.canPurge());  // not while the server is not running

    {  // another program (quillon-settings, say) changes the period
        UserDefaults::resetStandardUserDefaults();
        Preferences other;
        other.setPeriod(0);
        ASSERT_TRUE(other.synchronize());
    }
    EXPECT_TRUE(processUntil([&] { return model.unit() == 0; }));

    model.startOrStop();  // no user manager on this bus: D-Bus activation
    ASSERT_TRUE(processUntil([&] { return model.running(); })) << model.state();
    EXPECT_EQ(model.state(), "Running, version 1.0.0");
    EXPECT_EQ(model.startStopTitle(), "Stop");
    EXPECT_THAT(model.preview(), HasSubstr("The next cycle runs at "));
    EXPECT_TRUE(model.keepForAWeek(model.dueRows().size() - 1));  // "spare" is due no more, and stays
    EXPECT_TRUE(model.canPurge());
    EXPECT_EQ(model.confirmationQuestion() + " " + model.confirmationDetail(),
              immutable ? "Delete 2 items for good? This frees 8 bytes. Deleted items cannot be restored."
                        : "Delete 1 item for good? This frees 5 bytes. Deleted items cannot be restored.");

    model.purgeNow();
    EXPECT_TRUE(model.purging());
    EXPECT_FALSE(model.canPurge());
    ASSERT_TRUE(processUntil([&] { return !model.purging(); }));
    set_immutable(files + "/locked", false);
    EXPECT_EQ(model.purgeOutcome(), immutable ? "Deleted 1 item. 1 item could not be deleted.\n" + files +
                                                    "/locked (Operation not permitted)"
                                              : "Deleted 1 item.");
    EXPECT_FALSE(exists(files + "/ancient"));
    EXPECT_TRUE(exists(files + "/spare"));
    EXPECT_EQ(model.canPurge(), immutable);  // only what stayed is due
    ASSERT_EQ(model.deletedRows().size(), 1u);  // the history, as the server wrote it
    EXPECT_EQ(model.deletedRows()[0].what + " " + model.deletedRows()[0].size, "/home/ana/My Notes 5 bytes");
    EXPECT_THAT(model.deletedRows()[0].when, HasSubstr(", purge now"));

    model.startOrStop();
    EXPECT_EQ(model.purgeOutcome(), "");  // an old result does not outlive the state it was of
    EXPECT_TRUE(processUntil([&] { return !model.running(); })) << model.state();
    EXPECT_EQ(model.state(), "Not running");
}

// A volume's switch is stored by its id and its row follows; on again, it is left alone no more.
TEST_F(PanelModelTest, AVolumesSwitchIsStoredByItsId) {
    QUILLON_SKIP_IF(private_mounts());
    QUILLON_SKIP_IF(mount_for_test("tmpfs", home / "vol", "tmpfs"));
    const std::string name = ".Trash-" + std::to_string(getuid()), trash = home / ("vol/" + name);
    make_tree(home / "vol", {name + "/", name + "/files/", name + "/files/doc=abc"});
    chmod(trash.c_str(), 0700);
    environment.setMounts({home / "vol"}, "tmpfs");
    PanelModel model([&] { shown++; });
    ASSERT_EQ(model.volumeRows().size(), 2u);  // the home trash first
    const VolumeRow &row = model.volumeRows()[1];
    EXPECT_EQ(row.mountPoint + " " + row.trash, home / "vol" + " " + trash + "/files");
    EXPECT_THAT(row.facts, ::testing::MatchesRegex("1 item, 3 bytes, .* free"));
    for (bool on : {false, true}) {
        model.setVolumePurged(1, on);
        UserDefaults::resetStandardUserDefaults();
        EXPECT_EQ(Preferences().leftAloneVolumes(), (on ? std::set<std::string>{} : std::set{"mount:" + home / "vol"}));
        EXPECT_EQ(model.volumeRows()[1].purged, on);
    }
}

// Asked for what is due within a day, the list also holds what the next cycle leaves.
TEST_F(PanelModelTest, TheDueListCanReachADayAhead) {
    write_file(files + "/old", "1");
    write_file(files + "/soon", "2");  // due in 12 hours: 4 days less 12 hours before the test's now
    write_file(home / ".config/local.vantor.quillon.list.plist",
               trash_list_xml(files, {{"old", "2020-01-01T00:00:00Z"}, {"soon", "2027-01-11T20:00:00Z"}}));
    for (bool ahead : {false, true}) {
        PanelModel model([&] { shown++; }, ahead);
        std::vector<std::string> names;
        for (const DueRow &row : model.dueRows()) names.push_back(row.name);
        EXPECT_EQ(names, (ahead ? std::vector<std::string>{"old", "soon"} : std::vector<std::string>{"old"}));
    }
}

// A server that holds its name but does not answer is busy, not gone; a purge it fails may
// have deleted something.
TEST_F(PanelModelTest, AServerThatDoesNotAnswerIsBusyAndItsPurgeUnknown) {
    SilentServer silent(bus.address());
    ASSERT_TRUE(silent.ok());
    PanelModel model([&] { shown++; });
    EXPECT_EQ(model.state(), "Running, busy");
    EXPECT_THAT(model.preview(), HasSubstr("The server is running, busy: when its next cycle runs is not known."));
    write_file(files + "/ancient", "1");
    write_file(home / ".config/local.vantor.quillon.list.plist", trash_list_xml(files, {{"ancient", "2020-01-01T00:00:00Z"}}));
    model.refresh();
    model.purgeNow();
    ASSERT_TRUE(processUntil([&] { return !model.purging(); }));
    EXPECT_EQ(model.purgeOutcome(), "The server did not answer; what it deleted is not known.");
}

}  // namespace
}  // namespace quillon
