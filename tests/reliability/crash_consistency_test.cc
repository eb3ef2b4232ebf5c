// The real server killed with SIGKILL before, during and after its saves while its trash keeps
// changing: the trash list file must always read whole, and no first-seen date it held may
// ever change. Every kill is aimed at its phase by watching the save's own files, so the
// verdict does not depend on how fast the machine is.
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "client/server_client.h"
#include "fs/atomic_file.h"
#include "trash/trash_list_file.h"
#include "private_bus.h"
#include "process_runner.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using namespace quillon::testing;

constexpr char kListName[] = "local.vantor.quillon.list.plist";

int configuredKillsPerPhase() {
    if (const char *kills = getenv("QUILLON_CRASH_KILLS")) return atoi(kills);
    return 15;
}

// The save's file events in one folder: a temporary made and written, the list file renamed
// into place.
class SaveWatch {
 public:
    explicit SaveWatch(const std::string &folder) : fd_(inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MODIFY | IN_MOVED_TO);
    }
    ~SaveWatch() { close(fd_); }
    // Waits (up to a deadline only a hang reaches) for the next event of `kind`.
    bool waitFor(uint32_t kind) { return read_events(kind, std::chrono::steady_clock::now() + 60s); }
    // Takes the events already queued, waiting for none.
    void drain() { (void)read_events(0, std::chrono::steady_clock::now()); }
    bool sawSave() const { return created_ || renamed_; }

 private:
    bool read_events(uint32_t kind, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            alignas(inotify_event) char buffer[4096];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            for (char *p = buffer; n > 0 && p < buffer + n;) {
                auto *event = reinterpret_cast<inotify_event *>(p);
                p += sizeof(inotify_event) + event->len;
                const std::string name = event->len ? event->name : "";
                const bool temporary = name.rfind(std::string(kListName) + ".quillon-tmp-", 0) == 0;
                if ((event->mask & IN_CREATE) && temporary) created_ = true;
                if ((event->mask & IN_MOVED_TO) && name == kListName) renamed_ = true;
                if ((event->mask & kind) && (((kind & (IN_CREATE | IN_MODIFY)) && temporary) || (kind == IN_MOVED_TO && name == kListName)))
                    return true;
            }
            if (n > 0) continue;
            if (std::chrono::steady_clock::now() >= deadline) return false;
            struct pollfd ready = {fd_, POLLIN, 0};
            (void)poll(&ready, 1, 100);
        }
    }

    int fd_;
    bool created_ = false, renamed_ = false;
};

TEST(CrashConsistency, AServerKilledBeforeDuringOrAfterASaveKeepsTheOldOrTheNewFileAndItsDates) {
    quillon::testing::PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    quillon::testing::TempDir home;
    const std::string files = home / ".local/share/Trash/files";
    quillon::testing::make_home_trash(home);
    const std::string listFile = home / ".config/" + kListName;
    constexpr int kItems = 5000;
    for (int i = 0; i < kItems; i++) write_file(files + "/item " + std::to_string(i), "");

    // The trash changes all the time, so that every cycle has something to save.
    std::atomic<bool> churning{true};
    std::thread churn([&] {
        int next = kItems, oldest = 0;
        while (churning) {
            unlink((files + "/item " + std::to_string(oldest++)).c_str());
            write_file(files + "/item " + std::to_string(next++), "");
            std::this_thread::sleep_for(2ms);
        }
    });

    const auto environment = quillon::testing::session_environment(home.path(), bus.address());
    const int wanted = configuredKillsPerPhase();
    enum Phase { kBefore, kDuring, kAfter };
    int kills[3] = {0, 0, 0};
    int filesRead = 0, runs = 0;
    long datesCompared = 0;
    std::map<std::string, double> saved;  // name -> first-seen date, as last read back
    while (kills[kBefore] < wanted || kills[kDuring] < wanted || kills[kAfter] < wanted) {
        // A phase that never comes would show as a run count out of all proportion.
        ASSERT_LT(runs, 20 * wanted) << kills[kBefore] << " " << kills[kDuring] << " " << kills[kAfter];
        const Phase aim = static_cast<Phase>(runs++ % 3);
        {
            SaveWatch watch(home / ".config");
            quillon::testing::NotificationListener client(bus.address());
            ChildProcess server({QUILLON_TEST_SERVER, "0.01"}, environment, home / "server.log");
            if (aim == kBefore) {
                ASSERT_EQ(client.waitFor(1, 60s).size(), 1u) << "the server did not start";
            } else {
                ASSERT_TRUE(watch.waitFor(aim == kDuring ? IN_MODIFY : IN_MOVED_TO)) << "no save in run " << runs;
            }
            server.signal(SIGKILL);
            ASSERT_TRUE(server.wait(60s)) << "run " << runs;
            // What the kill met, by what it left: a temporary mid-write, or a save done or not begun.
            bool leftTemporary = false;
            for (const auto &name : list_dir(home / ".config"))
                leftTemporary = leftTemporary || name.rfind(std::string(kListName) + ".quillon-tmp-", 0) == 0;
            watch.drain();
            kills[leftTemporary ? kDuring : watch.sawSave() ? kAfter : kBefore]++;
        }

        auto data = readWholeFile(listFile);
        if (!data) continue;  // killed before the first save of all
        std::string error;
        auto folders = decodeTrashList(*data, &error);
        ASSERT_TRUE(folders) << "run " << runs << ": " << error;
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
            ASSERT_EQ(before->second, date) << name << " changed its first-seen date in run " << runs;
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
        ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
        ServerClient::quit();
        EXPECT_EQ(server.wait(60s), 0);
    }
    EXPECT_EQ(list_dir(home / ".config"), std::vector<std::string>{kListName});
    EXPECT_GT(datesCompared, 0);
    printf("crash consistency: %d kills, %d before a save, %d during one, %d after one; %d files read back whole, "
           "%ld first-seen dates compared across restarts, 0 lost\n",
           runs, kills[kBefore], kills[kDuring], kills[kAfter], filesRead, datesCompared);
}

}  // namespace
}  // namespace quillon
