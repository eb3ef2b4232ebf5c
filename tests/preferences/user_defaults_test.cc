#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>


#include "base/log.h"
#include "bus/notification_center.h"
#include "bus/session_bus.h"
#include "preferences/user_defaults.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;

class UserDefaultsTest : public ::testing::Test {
 protected:
    quillon::testing::TempDir home;
    quillon::testing::TestEnvironment environment{home.path()};
    quillon::testing::CapturedLog capturedLog;
    std::vector<std::string> &logged = capturedLog.lines;
    UserDefaultsTest() {
        make_dir(home / ".config");
        UserDefaults::resetStandardUserDefaults();
    }
    ~UserDefaultsTest() override {
        UserDefaults::resetStandardUserDefaults();
    }
};

TEST_F(UserDefaultsTest, DamagedDomainReadsAsNoneAndIsLogged) {
    write_file(home / ".config/d.plist", "<plist><dict><key>units</key>");
    EXPECT_FALSE(UserDefaults::standardUserDefaults().persistentDomainForName("d"));
    write_file(home / ".config/e.plist", "<plist><array/></plist>");
    EXPECT_FALSE(UserDefaults::standardUserDefaults().persistentDomainForName("e"));
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].rfind("could not read " + home / ".config/d.plist: ", 0), 0u) << logged[0];
    EXPECT_EQ(logged[1], "could not read " + home / ".config/e.plist: the top level is not a dictionary");
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
