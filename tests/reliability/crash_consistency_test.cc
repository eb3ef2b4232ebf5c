// The real server killed with SIGKILL at random moments while its trash keeps changing: the
// trash list file must always read whole, and no first-seen date it held may ever change.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "private_bus.h"
#include "settings/server_client.h"
#include "process_runner.h"
#include "test_support.h"
#include "trash/trash_list_file.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using namespace quillon::testing;

// How many kills must land while a save is under way; the runs go on until they have.
int configuredMidWriteKills() {
    if (const char *kills = getenv("QUILLON_CRASH_KILLS")) return atoi(kills);
#if defined(__SANITIZE_ADDRESS__)
    return 50;  // the sanitizer build runs slower: fewer rounds in the same time
#else
    return 200;
#endif
}

TEST(CrashConsistency, AServerKilledAtAnyMomentLeavesTheOldOrTheNewFileAndKeepsItsDates) {
    quillon::testing::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    quillon::testing::TempDir home;
    const std::string files = home / ".local/share/Trash/files";
    quillon::testing::make_home_trash(home);
    const std::string listFile = home / ".config/local.vantor.quillon.list.plist";
    constexpr int kItems = 20000;
    for (int i = 0; i < kItems; i++) write_file(files + "/item " + std::to_string(i), "");

    // The trash changes all the time: an item goes and a new one comes every two milliseconds.
    std::atomic<bool> churning{true};
    std::thread churn([&] {
        int next = kItems, oldest = 0;
        while (churning) {
            unlink((files + "/item " + std::to_string(oldest++)).c_str());
            write_file(files + "/item " + std::to_string(next++), "");
            std::this_thread::sleep_for(2ms);
        }
    });

    const unsigned seed = static_cast<unsigned>(std::random_device()());
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delayMs(20, 200);
    const auto environment = quillon::testing::session_environment(home.path(), bus.address());

    const int wanted = configuredMidWriteKills();
    int killedMidWrite = 0, filesRead = 0, runs = 0;
    long datesCompared = 0;
    std::map<std::string, double> saved;  // name -> first-seen date, as last read back
    std::uniform_int_distribution<int> intoWriteUs(0, 5000);
    for (int run = 0; killedMidWrite < wanted; run = ++runs) {
        ASSERT_LT(run, 8 * wanted) << "kills rarely land in a save: " << killedMidWrite << " of " << run;
        {
            // Three runs in four aim at a save: it waits for the temporary file to appear, then
            // kills a random few milliseconds into the write. The fourth kills at any moment.
            const int watch = inotify_init1(IN_CLOEXEC);
            inotify_add_watch(watch, (home / ".config").c_str(), IN_CREATE);
            ChildProcess server({QUILLON_TEST_SERVER, "0.01"}, environment, home / "server.log");
            if (run % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
            } else {
                struct pollfd ready = {watch, POLLIN, 0};
                if (poll(&ready, 1, 5000) == 1)
                    std::this_thread::sleep_for(std::chrono::microseconds(intoWriteUs(random)));
            }
            server.signal(SIGKILL);
            close(watch);
            ASSERT_TRUE(server.wait(10s)) << "run " << run;
        }
        for (const auto &name : list_dir(home / ".config"))
            if (name.rfind("local.vantor.quillon.list.plist.", 0) == 0) killedMidWrite++;

        auto data = readWholeFile(listFile);
        if (!data) continue;  // killed before its first save
        std::string error;
        auto folders = decodeTrashList(*data, &error);
        ASSERT_TRUE(folders) << "run " << run << " (seed " << seed << "): " << error;
        filesRead++;
        std::map<std::string, double> now;
        for (const auto &folder : *folders)
            for (const auto &file : *folder->files()) {
                ASSERT_TRUE(file->trashDate());
                now[file->path()] = file->trashDate()->unixSeconds();
            }
        for (const auto &[name, date] : now) {
            auto before = saved.find(name);
            if (before == saved.end()) continue;
            ASSERT_EQ(before->second, date) << name << " changed its first-seen date in run " << run;
            datesCompared++;
        }
        saved = std::move(now);
    }
    churning = false;
    churn.join();

    // A clean start clears what the kills left half-written.
    {
        quillon::testing::NotificationListener client(bus.address());
        ChildProcess server({QUILLON_TEST_SERVER, "3600"}, environment, home / "server.log");
        ASSERT_EQ(client.waitFor(1, 10s), std::vector<std::string>{"server launched"});
        ServerClient::quit();
        EXPECT_EQ(server.wait(10s), 0);
    }
    EXPECT_EQ(list_dir(home / ".config"), std::vector<std::string>{"local.vantor.quillon.list.plist"});

    EXPECT_GT(filesRead, runs / 2);
    printf("crash consistency: %d kills (seed %u), %d while a save was under way, %d files read back whole, "
           "%ld first-seen dates compared across restarts, 0 lost\n",
           runs, seed, killedMidWrite, filesRead, datesCompared);
    RecordProperty("kills", runs);
    RecordProperty("killed_mid_write", killedMidWrite);
}

}  // namespace
}  // namespace quillon
