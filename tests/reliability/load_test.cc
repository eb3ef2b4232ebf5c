// The real server purging a large trash in one cycle, plainly and securely: everything due is
// gone, the list file forgets it, and the server answers afterwards. Sized to take seconds;
// bench/compare_trash.sh measures the same at 100,000 items.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "private_bus.h"
#include "settings/server_client.h"
#include "process_runner.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using namespace quillon::testing;

// Secure deletion flushes its file system twice per file, which a busy disk makes slow: it
// gets fewer items, enough for one cycle to take a while.
int configuredItems(bool secure) {
    if (const char *items = getenv("QUILLON_LOAD_ITEMS")) return atoi(items);
    return secure ? 400 : 2000;
}

size_t entries(const std::string &folder) {
    size_t count = 0;
    for (const auto &name : quillon::testing::list_dir(folder)) count += name[0] != '.';
    return count;
}

// Peak resident memory of a process, in KiB.
long peakKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return atol(line.c_str() + 6);
    return -1;
}

class Load : public ::testing::TestWithParam<bool> {};

TEST_P(Load, ALargeTrashIsPurgedInOneCycleAndTheServerStillAnswers) {
    const bool secure = GetParam();
    const int items = configuredItems(secure);
    quillon::testing::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    quillon::testing::TempDir home;
    const std::string files = home / ".local/share/Trash/files";
    quillon::testing::make_home_trash(home);

    // Every item has been in the trash since 2020, as far as the server remembers.
    std::vector<std::pair<std::string, std::string>> remembered;
    for (int i = 0; i < items; i++) {
        remembered.emplace_back("item " + std::to_string(i), "2020-01-01T00:00:00Z");
        close(open((files + "/" + remembered.back().first).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
    }
    write_file(home / ".config/local.vantor.quillon.list.plist", quillon::testing::trash_list_xml(files, remembered));
    if (secure)
        write_file(home / ".config/local.vantor.quillon.plist", "<plist><dict><key>secure</key><true/></dict></plist>");

    quillon::testing::NotificationListener client(bus.address());
    const double interval = 2.0;
    const auto started = Clock::now();
    ChildProcess server({QUILLON_TEST_SERVER, "2"}, quillon::testing::session_environment(home.path(), bus.address()),
                        home / "server.log");
    ASSERT_EQ(client.waitFor(1, 30s), std::vector<std::string>{"server launched"});
    auto asked = Clock::now();
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");
    const double before_ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();

    ASSERT_TRUE(eventually([&] { return entries(files) == 0; }, 900s)) << entries(files) << " items left";
    const double cycle_s = std::chrono::duration<double>(Clock::now() - started).count() - interval;
    asked = Clock::now();
    EXPECT_EQ(ServerClient::versionString(), "1.0.0");  // the cycle is over: the server answers again
    const double after_ms = std::chrono::duration<double, std::milli>(Clock::now() - asked).count();
    const long peak = peakKiB(server.pid());
    ServerClient::quit();
    EXPECT_EQ(server.wait(60s), 0);
    EXPECT_EQ(quillon::testing::read_file(home / ".config/local.vantor.quillon.list.plist").find("item "),
              std::string::npos);

    printf("load (%s): %d items purged in one cycle in %.1f s (%.0f items/s), peak resident memory %.1f MiB, "
           "versionString answered in %.1f ms before and %.1f ms after the cycle\n",
           secure ? "secure" : "plain", items, cycle_s, items / cycle_s, peak / 1024.0, before_ms, after_ms);
    RecordProperty("items", items);
    RecordProperty("peak_kib", static_cast<int>(peak));
}

INSTANTIATE_TEST_SUITE_P(PlainAndSecure, Load, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &param) { return param.param ? "Secure" : "Plain"; });

}  // namespace
}  // namespace quillon
