// Helpers shared by the tests: temporary folders and small file utilities.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/calendar_date.h"

struct fuse_in_header;

// Skips the test, saying why, when `reason` (empty for none) is not empty.
#define QUILLON_SKIP_IF(reason) \
    if (const std::string why_ = (reason); !why_.empty()) GTEST_SKIP() << why_

namespace quillon::testing {

// A fresh folder under $TMPDIR (or /var/tmp, which is on a real disk), removed with all its
// contents when the object goes. Removal never follows links.
class TempDir {
 public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

 private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &contents);
std::string read_file(const std::string &path);
bool exists(const std::string &path);  // lstat: a dangling link exists
void make_dir(const std::string &path);  // an existing one is fine
// Makes each entry below `root`, in order: "name/" a folder, "name=text" a file holding text,
// "name->target" a symbolic link, "name|" a FIFO.
void make_tree(const std::string &root, const std::vector<std::string> &entries);
// Leaves a Unix socket at `path`, bound and closed.
void bind_socket(const std::string &path);
// Names in `dir` other than . and .., sorted.
std::vector<std::string> list_dir(const std::string &dir);
// Removes a tree without following links; clears immutable flags on the way.
void remove_all(const std::string &path);
// Makes the home trash (files and info) and the preferences folder under `home`; returns the
// trash's files folder.
std::string make_home_trash(const TempDir &home);
// A local time, as the calendar tests name their moments.
CalendarDate local_date(int year, int month, int day, int hour, int minute);
// A trash list file that remembers the items of one trash folder (and of `other`, when
// given), each a name with its first-seen date as the file writes it ("2020-01-01T00:00:00Z").
std::string trash_list_xml(const std::string &folder, const std::vector<std::pair<std::string, std::string>> &items,
                           const std::string &other = "", const std::vector<std::pair<std::string, std::string>> &itsItems = {});
// Log lines captured instead of going to syslog while the object lives.
class CapturedLog {
 public:
    CapturedLog();
    ~CapturedLog();
    CapturedLog(const CapturedLog &) = delete;
    CapturedLog &operator=(const CapturedLog &) = delete;
    std::vector<std::string> lines;
};
// Sets or clears the immutable inode flag; false when the file system keeps no such flag.
bool set_immutable(const std::string &path, bool on);
// Moves this process into a mount namespace of its own, so that the test's mounts vanish
// with it and nobody else sees them. Empty on success, else why not (run as a user who may
// not mount, say): the reason to skip with.
std::string private_mounts();
// mount(2) with `type` and `options` ("bind" for a bind mount), on `target` made a folder when
// missing; empty or the error.
std::string mount_for_test(const std::string &source, const std::string &target, const std::string &type,
                           const std::string &options = "");

// A /proc/self/mountinfo line for `point` (written as `shown`, escaped, when given) with the
// mount id and device that hold it now, so that a test's folder stands for a mount's top.
std::string mountinfo_line(const std::string &point, const std::string &type, const std::string &options = "rw",
                           const std::string &shown = "");

// A FUSE file system served by a thread of the test, speaking the kernel's protocol directly.
// Mounted at `mountPoint` (made when missing); why() says why not, the reason to skip.
class TestFuse {
 public:
    explicit TestFuse(const std::string &mountPoint);
    virtual ~TestFuse();  // aborts the connection: whatever waits on it fails now
    const std::string &why() const { return why_; }
    // Waits until the file system has been asked `count` requests since INIT.
    void waitForRequests(int count);

 protected:
    // Starts serving; call at the end of a subclass's constructor. Stops it; call first in a
    // subclass's destructor, so that answer() is not called on a half-destroyed object.
    void serve();
    void stop();
    // The reply to one request (header and body), or nullopt to leave it unanswered for good.
    virtual std::optional<std::string> answer(const struct fuse_in_header &request, const char *body) = 0;

 private:
    std::string mountPoint_;
    std::string why_;
    int fd_ = -1, stop_[2] = {-1, -1};
    bool mounted_ = false;
    std::thread server_;
    std::mutex mutex_;
    std::condition_variable asked_;
    int requests_ = 0;
};

// A FUSE file system that takes every request after INIT and never answers, as a daemon whose
// network server died does: each look-up on it blocks for good (uninterruptibly, even for
// SIGKILL, as its request was read), until the object goes.
class StalledFuse : public TestFuse {
 public:
    explicit StalledFuse(const std::string &mountPoint) : TestFuse(mountPoint) { serve(); }
    ~StalledFuse() override { stop(); }

 private:
    std::optional<std::string> answer(const struct fuse_in_header &, const char *) override { return std::nullopt; }
};

// A FUSE file system of folders below its root (node 1), that a test scripts: node i + 2 is
// nodes[i], a folder of `owner` that, from its look-up number `linkAfter` + 1 on, answers as a
// link to `target` instead. Every answer is valid for no time, so the kernel asks again.
class ScriptedFuse : public TestFuse {
 public:
    struct Node {
        uint64_t parent;
        std::string name;
        uid_t owner;
        int linkAfter = -1;  // never a link
        std::string target;
    };
    ScriptedFuse(const std::string &mountPoint, std::vector<Node> nodes);
    ~ScriptedFuse() override;

 private:
    std::optional<std::string> answer(const struct fuse_in_header &request, const char *body) override;
    std::vector<Node> nodes_;
    std::vector<int> lookups_;
};

}  // namespace quillon::testing
