// The real server killed with SIGKILL at a save's first write of its temporary, or at its
// rename: the trash list file must still read whole and hold every record saved before, with
// its first-seen date. Each kill is aimed by watching the save's own files, so the verdict
// does not depend on how fast the machine is (a kill that lands later meets a later phase).
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>

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

// Waits for the first write of the list file's temporary (or of the list file itself, were it
// written in place) or for the list file renamed into place, in `folder`, watched from before
// the server starts.
class SaveWatch {
 public:
    explicit SaveWatch(const std::string &folder) : fd_(inotify_init1(IN_CLOEXEC)) {
        inotify_add_watch(fd_, folder.c_str(), IN_MODIFY | IN_MOVED_TO);
    }
    ~SaveWatch() { close(fd_); }
    // False only when nothing comes within a deadline that only a hang reaches.
    bool waitFor(uint32_t kind) {
        for (;;) {
            struct pollfd ready = {fd_, POLLIN, 0};
            if (poll(&ready, 1, 60'000) <= 0) return false;
            alignas(inotify_event) char buffer[4096];
            const ssize_t n = read(fd_, buffer, sizeof buffer);
            for (char *p = buffer; n > 0 && p < buffer + n;) {
                auto *event = reinterpret_cast<inotify_event *>(p);
                p += sizeof(inotify_event) + event->len;
                const std::string name = event->len ? event->name : "";
                const bool temporary = name.rfind(std::string(kListName) + ".quillon-tmp-", 0) == 0;
                if ((event->mask & kind) && (temporary || name == kListName)) return true;
            }
        }
    }

 private:
    int fd_;
};

TEST(CrashConsistency, AServerKilledMidSaveKeepsEveryRecordSavedBefore) {
    PrivateBus bus;
    ASSERT_TRUE(bus.ok());
    TempDir home;
    const std::string files = make_home_trash(home), listFile = home / ".config/" + kListName;
    const auto environment = session_environment(home.path(), bus.address());
    const char *kills = getenv("QUILLON_CRASH_KILLS");
    const int runs = 2 * (((kills ? atoi(kills) : 10) + 1) / 2);  // even: the last kill is at a rename
    std::map<std::string, double> saved;  // name -> first-seen date, as last read back
    for (int run = 0; run <= runs; run++) {
        SCOPED_TRACE("run " + std::to_string(run));
        write_file(files + "/item " + std::to_string(run), "");  // something new to save
        {
            SaveWatch watch(home / ".config");
            ChildProcess server({QUILLON_TEST_SERVER, "3600", "", "0"}, environment, home / "server.log");
            // The first run saves whole; the others are killed at the temporary's first write or at the rename.
            ASSERT_TRUE(watch.waitFor(run % 2 ? IN_MODIFY : IN_MOVED_TO)) << read_file(home / "server.log");
            if (run > 0) server.signal(SIGKILL);
        }
        const auto data = readWholeFile(listFile);
        ASSERT_TRUE(data) << "the list file is gone";
        std::string error;
        const auto folders = decodeTrashList(*data, &error);
        ASSERT_TRUE(folders) << error;
        std::map<std::string, double> now;
        for (const auto &folder : *folders)
            for (const auto &file : *folder->files())
                if (file->trashDate()) now[file->path()] = file->trashDate()->unixSeconds();
        for (const auto &[name, date] : saved) {
            ASSERT_TRUE(now.count(name)) << name << " was lost";
            EXPECT_EQ(now[name], date) << name << " changed its first-seen date";
        }
        saved = std::move(now);
    }
    EXPECT_EQ(saved.size(), runs + 1u) << "the last rename saved every item";
}

}  // namespace
}  // namespace quillon
