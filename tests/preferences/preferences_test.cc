#include <unistd.h>

#include <gmock/gmock.h>

#include <chrono>
#include <cstdlib>

#include "base/log.h"
#include "bus/notification_center.h"
#include "bus/session_bus.h"
#include "preferences/preferences.h"
#include "preferences/user_defaults.h"
#include "private_bus.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using namespace std::chrono_literals;
using namespace quillon::testing;

class PreferencesTest : public ::testing::Test {
 protected:
    quillon::testing::PrivateBus bus;
    quillon::testing::TempDir home;
    quillon::testing::TestEnvironment environment{home.path()};
    std::string domainFile = home / ".config/local.vantor.quillon.plist";
    quillon::testing::CapturedLog capturedLog;
    std::vector<std::string> &logged = capturedLog.lines;

    PreferencesTest() { make_dir(home / ".config"), UserDefaults::resetStandardUserDefaults(); }
    ~PreferencesTest() override { UserDefaults::resetStandardUserDefaults(); }
    void SetUp() override { ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start"; }
    // Stores a settings file holding `entries`, or `entries` as it is when it is a whole document.
    void store(const std::string &entries) {
        write_file(domainFile, entries.starts_with("<?") ? entries : "<plist version=\"1.0\"><dict>" + entries + "</dict></plist>");
        UserDefaults::resetStandardUserDefaults();
    }
};

// Nothing changed: nothing written or posted. A change: the whole domain written once, private
// (keys of others kept, derived ones dropped), posted once, also when the object is released. A
// failed write: logged, not posted, still unsaved, written by the next synchronize.
TEST_F(PreferencesTest, ChangesAreWrittenAndPostedOnceAndOnlyWhenTheyAreWritten) {
    quillon::testing::NotificationListener listener(bus.address());
    {
        Preferences preferences;
        preferences.setUnits(3);
        EXPECT_FALSE(preferences.changes());
        EXPECT_TRUE(preferences.synchronize());
    }
    EXPECT_FALSE(exists(domainFile));
    store("<key>enabled</key><true/><key>unitsList</key><array/><key>panel</key><string>kept</string>"
          "<key>units</key><integer>1</integer>");
    {
        Preferences preferences;
        preferences.setSecure(true);
        ASSERT_EQ(rename((home / ".config").c_str(), (home / "aside").c_str()), 0);
        EXPECT_FALSE(preferences.synchronize());
        EXPECT_TRUE(preferences.changes());
        EXPECT_TRUE(preferences.isSecure());  // served from memory meanwhile
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].rfind("could not write ", 0), 0u) << logged[0];
        ASSERT_EQ(rename((home / "aside").c_str(), (home / ".config").c_str()), 0);
        EXPECT_TRUE(preferences.synchronize());
        EXPECT_FALSE(preferences.changes());
        EXPECT_TRUE(preferences.synchronize());  // nothing left: no second write or post
        preferences.setPeriod(3);  // written when the object goes
    }
    listener.post("a marker");
    EXPECT_EQ(listener.waitFor(3, 60s), (std::vector<std::string>{"preferences changed", "preferences changed", "a marker"}));
    const std::string written = read_file(domainFile);
    EXPECT_THAT(written, Not(HasSubstr("enabled")));
    EXPECT_THAT(written, Not(HasSubstr("unitsList")));
    EXPECT_THAT(written, HasSubstr("<key>panel</key>\n\t<string>kept</string>"));
    // What is read is kept until the defaults are reset: another writer's change is seen then.
    write_file(domainFile, "<plist><dict><key>period</key><integer>2</integer></dict></plist>");
    EXPECT_EQ(Preferences().period(), 3);
    UserDefaults::resetStandardUserDefaults();
    Preferences reread;
    EXPECT_FALSE(reread.isSecure());
    EXPECT_EQ(reread.period(), 2);
}

// Counts go up to 12 hours, 7 days, 4 weeks, 12 months; a stored count beyond its unit's last
// reads as stored, and only the writer's pull sets it back to the last, as a change.
TEST_F(PreferencesTest, OnlyTheExplicitPullSetsTheCountBackWithinTheUnit) {
    const struct { int period, units; size_t counts; int unitsAfter; } cases[] = {
        {2, 6, 4, 3}, {2, 4, 4, 3}, {2, 3, 4, 3}, {1, 7, 7, 6}, {1, 6, 7, 6}, {0, 11, 12, 11}, {3, 12, 12, 11}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.period) + " " + std::to_string(c.units));
        store("<key>period</key><integer>" + std::to_string(c.period) + "</integer><key>units</key><integer>" +
              std::to_string(c.units) + "</integer>");
        Preferences preferences;
        EXPECT_EQ(preferences.unitsList().size(), c.counts);
        EXPECT_EQ(preferences.snapshot().units, c.units);
        preferences.pullCountIntoRange();
        EXPECT_EQ(preferences.units(), c.unitsAfter);
        EXPECT_EQ(preferences.changes(), c.units != c.unitsAfter);
    }
    Preferences preferences;

    Preferences::ObserverId id = preferences.addObserver("units", [](const std::string &) {});
    preferences.setPeriod(7);  // no such unit: no list, nothing written
    (void)preferences.synchronize();
    EXPECT_TRUE(preferences.unitsList().empty());
    preferences.pullCountIntoRange();
    EXPECT_FALSE(preferences.changes());
    preferences.removeObserver(id);
}

// Each key that can be read is read; one that cannot, or holds another type than its
// default's, reads as the default. Whether to delete securely must be known for any purge.
TEST_F(PreferencesTest, HostileAndWrongTypedSettingsReadKeyByKey) {
    // stored: dictionary entries, or a whole file when it starts with '<?'
    const struct { const char *name; std::string stored; int period, units; bool secure, secureKnown; } cases[] = {
        {"out-of-range key the server never reads", "<key>inode</key><integer>99999999999999999999</integer><key>secure</key><true/>", 1, 3, true, true},
        {"real count", "<key>period</key><integer>1</integer><key>units</key><real>0.9</real>", 1, 3, false, true},
        {"negative real unit", "<key>period</key><real>-0.5</real>", 1, 3, false, true},
        {"boolean as count", "<key>units</key><true/>", 1, 3, false, true},
        {"string unit", "<key>period</key><string>weeks</string><key>units</key><integer>2</integer>", 1, 2, false, true},
        {"integer as secure", "<key>secure</key><integer>1</integer>", 1, 3, false, false},
        {"malformed secure", "<key>secure</key><integer>x</integer>", 1, 3, false, false},
        {"damaged file", "<?xml version=\"1.0\"?><plist><dict><key>secure</key>", 1, 3, false, false},
        {"plain values", "<key>period</key><integer>2</integer><key>units</key><integer>1</integer><key>secure</key><false/>", 2, 1, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        store(c.stored);
        quillon::testing::CapturedLog log;
        Preferences preferences;
        EXPECT_EQ(preferences.period(), c.period);
        EXPECT_EQ(preferences.units(), c.units);
        EXPECT_EQ(preferences.isSecure(), c.secure);
        EXPECT_EQ(preferences.isSecureKnown(), c.secureKnown);
        const bool plain = std::string(c.name) == "plain values";
        EXPECT_EQ(log.lines.empty(), plain) << (log.lines.empty() ? "" : log.lines[0]);
        preferences.setRunning(false);
    }
    Preferences stored;
    EXPECT_FALSE(stored.changes());
}

TEST_F(PreferencesTest, ObserversHearOfDerivedKeysAndTheRunningFlagIsNeverStored) {
    Preferences preferences;
    std::vector<std::string> heard;
    for (const char *key : {"periodList", "unitsList", "startStopTitle", "units"})
        preferences.addObserver(key, [&](const std::string &key_heard) { heard.push_back(key_heard); });
    EXPECT_EQ(preferences.startStopTitle(), "Start");
    preferences.setRunning(true);
    EXPECT_FALSE(preferences.changes());
    preferences.setUnits(5);
    preferences.setPeriod(2);
    EXPECT_EQ(heard, (std::vector<std::string>{"startStopTitle", "periodList", "units", "unitsList"}));
    EXPECT_EQ(preferences.startStopTitle(), "Stop");
    EXPECT_TRUE(preferences.isRunning());
}

TEST(DistributedNotifications, WithoutASessionBusPostingDoesNothingAndSaysSoOnce) {
    quillon::testing::CapturedLog log;
    const char *old = getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string saved = old ? old : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/quillon-test-bus", 1);
    SessionBus::reset();
    DistributedNotificationCenter::defaultCenter().postNotificationName("server launched");
    SessionBus::reset();
    DistributedNotificationCenter::defaultCenter().postNotificationName("server will terminate");
    if (old) setenv("DBUS_SESSION_BUS_ADDRESS", saved.c_str(), 1);
    else unsetenv("DBUS_SESSION_BUS_ADDRESS");
    SessionBus::reset();
    EXPECT_EQ(log.lines, std::vector<std::string>{"no session bus: notifications are not posted"});
}

}  // namespace
}  // namespace quillon
