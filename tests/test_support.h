// Helpers shared by the tests: temporary folders and small file utilities.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/calendar_date.h"

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
// mount(2) with `type` and `options` ("bind" for a bind mount); empty or the error.
std::string mount_for_test(const std::string &source, const std::string &target, const std::string &type,
                           const std::string &options = "");

// A FUSE file system that answers the kernel's INIT and then nothing, as a dead network
// server or a stopped FUSE daemon does: every look-up on it blocks for good, until the object
// goes. Mounted at `mountPoint` (made when missing); why() says why not, the reason to skip.
class StalledFuse {
 public:
    explicit StalledFuse(const std::string &mountPoint);
    ~StalledFuse();
    StalledFuse(const StalledFuse &) = delete;
    StalledFuse &operator=(const StalledFuse &) = delete;
    const std::string &why() const { return why_; }
    // True once someone waits on the volume (a request is queued) within `timeout`.
    bool waitForRequest(std::chrono::milliseconds timeout) const;

 private:
    std::string mountPoint_;
    std::string why_;
    int fd_ = -1;
    bool mounted_ = false;
};

}  // namespace quillon::testing
