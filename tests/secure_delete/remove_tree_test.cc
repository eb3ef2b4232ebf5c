#include <fts.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.h"
#include "secure_delete/engine.h"
#include "secure_delete/secure_delete.h"
#include "test_support.h"

namespace quillon::engine {
namespace {

using namespace quillon::testing;

bool is_random_name(const std::string &name) {
    if (name.size() != 14) return false;
    for (char c : name)
        if (!isalnum(static_cast<unsigned char>(c))) return false;
    return true;
}

// Records renames and deletions in watched directories, in the order they happened.
class Watcher {
 public:
    Watcher() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~Watcher() { close(fd_); }
    void watch(const std::string &dir, const std::string &label) {
        int wd = inotify_add_watch(fd_, dir.c_str(), IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE);
        labels_[wd] = label;
    }
    // Events as "label:kind:name", kind one of from, to, delete.
    std::vector<std::string> events() {
        std::vector<std::string> out;
        alignas(inotify_event) char buffer[64 * 1024];
        ssize_t n;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char *p = buffer; p < buffer + n;) {
                auto *e = reinterpret_cast<inotify_event *>(p);
                const char *kind = (e->mask & IN_MOVED_FROM) ? "from" : (e->mask & IN_MOVED_TO) ? "to" : "delete";
                if (e->mask & (IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE))
                    out.push_back(labels_[e->wd] + ":" + kind + ":" + (e->len ? e->name : ""));
                p += sizeof(inotify_event) + e->len;
            }
        }
        return out;
    }

 private:
    int fd_;
    std::map<int, std::string> labels_;
};

class RemoveTreeTest : public ::testing::Test {
 protected:
    TempDir dir;
    int run(const std::string &path, int level = 0) { return quillon::secure_delete(path.c_str(), level); }
};

TEST_F(RemoveTreeTest, NestedTreeGoesInnermostFirstEachObjectRenamedBeforeRemoval) {
    const std::string top = dir / "top";
    make_dir(top);
    make_dir(top + "/inner");
    write_file(top + "/a", "alpha");
    write_file(top + "/inner/b", std::string(10000, 'b'));
    Watcher watcher;
    watcher.watch(dir.path(), "root");
    watcher.watch(top, "top");
    watcher.watch(top + "/inner", "inner");

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(top), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(list_dir(dir.path()).empty());

    // Every object: moved away from its name, moved to a random name, that name deleted.
    std::vector<std::string> events = watcher.events();
    auto position = [&](const std::string &prefix) {
        for (size_t i = 0; i < events.size(); i++)
            if (events[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
        return -1;
    };
    for (const auto &[label, name] : std::vector<std::pair<std::string, std::string>>{
             {"top", "a"}, {"inner", "b"}, {"top", "inner"}, {"root", "top"}}) {
        int from = position(label + ":from:" + name);
        ASSERT_GE(from, 0) << label << "/" << name;
        ASSERT_LT(from + 1, static_cast<int>(events.size()));
        std::string to = events[from + 1];
        std::string random = to.substr(to.rfind(':') + 1);
        EXPECT_EQ(to, label + ":to:" + random);
        EXPECT_TRUE(is_random_name(random)) << random;
        EXPECT_GT(position(label + ":delete:" + random), from);
    }
    EXPECT_LT(position("inner:delete:"), position("top:from:inner"));
    EXPECT_LT(position("top:from:inner"), position("root:from:top"));
}

TEST_F(RemoveTreeTest, LinksAreRemovedAndTheirTargetsKept) {
    const std::string outside = dir / "outside";
    make_dir(outside);
    write_file(outside + "/precious", "keep me");
    chmod((outside + "/precious").c_str(), 0444);
    const std::string item = dir / "item";
    make_dir(item);
    ASSERT_EQ(symlink((outside + "/precious").c_str(), (item + "/to-file").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (item + "/to-dir").c_str()), 0);
    ASSERT_EQ(symlink((dir / "nowhere").c_str(), (item + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (dir / "operand-link").c_str()), 0);

    EXPECT_EQ(run(item), 1);
    EXPECT_EQ(run(dir / "operand-link"), 1);
    EXPECT_FALSE(exists(item));
    EXPECT_FALSE(exists(dir / "operand-link"));
    EXPECT_EQ(read_file(outside + "/precious"), "keep me");
    struct stat st;
    ASSERT_EQ(stat((outside + "/precious").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(list_dir(outside), std::vector<std::string>{"precious"});
}

TEST_F(RemoveTreeTest, HardLinkedFileLosesThisNameOnlyAndIsReported) {
    write_file(dir / "data", "shared data");
    ASSERT_EQ(link((dir / "data").c_str(), (dir / "other").c_str()), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(dir / "data"), 0);
    std::string message = dir / "data" + " has multiple links, this one has been removed but not overwritten";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), ": " + message.substr(0, 99) + "\n");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"other"});
    EXPECT_EQ(read_file(dir / "other"), "shared data");
}

TEST_F(RemoveTreeTest, SpecialFilesStayAndTheirDirectoriesFailNonZero) {
    const std::string item = dir / "item";
    make_dir(item);
    make_dir(item + "/sub");
    ASSERT_EQ(mkfifo((item + "/sub/fifo").c_str(), 0600), 0);
    write_file(item + "/sub/file", "x");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(item), 0);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(": unable to remove " + item + "/sub: Directory not empty\n"), std::string::npos) << err;
    EXPECT_NE(err.find(": unable to remove " + item + ": Directory not empty\n"), std::string::npos) << err;
    // Whatever stays keeps its own name, and so do the directories that hold it.
    EXPECT_EQ(list_dir(item), std::vector<std::string>{"sub"});
    EXPECT_EQ(list_dir(item + "/sub"), std::vector<std::string>{"fifo"});

    // A FIFO or socket as the item itself is not removed either: that is a failure.
    ASSERT_EQ(mkfifo((dir / "lonely-fifo").c_str(), 0600), 0);
    EXPECT_EQ(run(dir / "lonely-fifo"), 0);
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string socket_path = dir / "sock";
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    strcpy(address.sun_path, socket_path.c_str());
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    EXPECT_EQ(run(socket_path), 0);
    close(sock);
    EXPECT_TRUE(exists(dir / "lonely-fifo"));
    EXPECT_TRUE(exists(socket_path));
}

TEST_F(RemoveTreeTest, MissingOperandIsSilentSuccessAndTrailingSlashesAreStrippedOnACopy) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(dir / "never-was"), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(random_fd, -1);

    make_dir(dir / "d");
    write_file(dir / "d/f", "x");
    std::string path = dir / "d///";
    const std::string before = path;
    EXPECT_EQ(quillon::secure_delete(path.c_str(), 0), 1);
    EXPECT_EQ(path, before);
    EXPECT_FALSE(exists(dir / "d"));
    EXPECT_EQ(random_fd, -1);
    EXPECT_EQ(options, OPT_FORCE | OPT_RECURSIVE);
}

TEST_F(RemoveTreeTest, SlashOnlyOperandIsRefused) {
    char root[] = "///";
    char *operands[] = {root, nullptr};
    options = OPT_FORCE | OPT_RECURSIVE;
    ::testing::internal::CaptureStderr();
    EXPECT_NE(remove_tree(operands), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), ": unable to remove /: Invalid argument\n");
    EXPECT_STREQ(root, "/");
}

TEST_F(RemoveTreeTest, WithoutRecursionADirectoryIsNotEntered) {
    make_dir(dir / "d");
    write_file(dir / "d/f", "x");
    char *path = strdup((dir / "d").c_str());
    char *operands[] = {path, nullptr};
    options = OPT_FORCE;
    ::testing::internal::CaptureStderr();
    EXPECT_NE(remove_tree(operands), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), ": " + (dir / "d") + " is a directory\n");
    EXPECT_EQ(read_file(dir / "d/f"), "x");
    free(path);
}

TEST_F(RemoveTreeTest, InteractiveQuestionsTakeOnlyALowercaseYes) {
    int saved_stdin = dup(0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], "y\nn\nY\n", 6), 6);
    close(fds[1]);
    dup2(fds[0], 0);
    close(fds[0]);
    clearerr(stdin);

    options = OPT_INTERACTIVE | OPT_RECURSIVE;
    init_random(1);
    ::testing::internal::CaptureStdout();
    for (const char *name : {"a", "b", "c"}) {
        write_file(dir / name, "x");
        char *path = strdup((dir / name).c_str());
        char *operands[] = {path, nullptr};
        // A declined entry stays, so the walk did not remove everything.
        EXPECT_EQ(remove_tree(operands), name[0] == 'a' ? 0 : 1) << name;
        free(path);
    }
    std::string out = ::testing::internal::GetCapturedStdout();
    close_random();
    dup2(saved_stdin, 0);
    close(saved_stdin);
    clearerr(stdin);

    EXPECT_EQ(out, "Remove " + (dir / "a") + "? Remove " + (dir / "b") + "? Remove " + (dir / "c") + "? ");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"b", "c"}));
}

TEST_F(RemoveTreeTest, RandomNameSkipsNonAlphanumericBytesAndRedrawsOnCollision) {
    write_file(dir / "AAAAAAAAAAAAAA", "already here");
    write_file(dir / "victim", "x");
    // First draw: A x14 with refused bytes between (taken); second draw: B x14 (free).
    std::string script;
    for (int i = 0; i < 14; i++) script += std::string("\x80!A", 3);
    for (int i = 0; i < 14; i++) script += std::string("\xff B", 3);
    Watcher watcher;
    watcher.watch(dir.path(), "dir");
    {
        ScriptedRandom source(script);
        options = OPT_FORCE | OPT_RECURSIVE;
        EXPECT_EQ(rename_unlink((dir / "victim").c_str()), 0);
    }
    EXPECT_EQ(watcher.events(), (std::vector<std::string>{"dir:from:victim", "dir:to:BBBBBBBBBBBBBB",
                                                           "dir:delete:BBBBBBBBBBBBBB"}));
    EXPECT_EQ(read_file(dir / "AAAAAAAAAAAAAA"), "already here");
}

// Another process may take the object away between the rename and the check after it; the
// engine runs inside a long-lived server and must not end the process for that.
TEST_F(RemoveTreeTest, ObjectVanishingAfterTheRenameFailsTheEntryOnly) {
    std::atomic<bool> stop{false};
    int hits = 0;
    for (int attempt = 0; attempt < 20 && hits == 0; attempt++) {
        const std::string path = dir / "racer";
        write_file(path, "x");
        int fd = inotify_init1(IN_CLOEXEC);
        inotify_add_watch(fd, dir.path().c_str(), IN_MOVED_TO);
        std::thread thief([&] {
            alignas(inotify_event) char buffer[4096];
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                auto *e = reinterpret_cast<inotify_event *>(buffer);
                if (e->len) unlink((dir.path() + "/" + e->name).c_str());
            }
        });
        options = OPT_FORCE | OPT_RECURSIVE;
        init_random(1);
        ::testing::internal::CaptureStderr();
        errno = 0;
        int result = rename_unlink(path.c_str());
        int error = errno;
        std::string err = ::testing::internal::GetCapturedStderr();
        close_random();
        thief.join();
        close(fd);
        if (err.find("Fatal error in rename_unlink()") != std::string::npos) {
            hits++;
            EXPECT_EQ(result, -1);
            EXPECT_EQ(error, ENOENT);
            EXPECT_EQ(err, "Fatal error in rename_unlink(): No such file or directory\n");
        }
        for (const auto &name : list_dir(dir.path())) unlink((dir.path() + "/" + name).c_str());
    }
    if (hits == 0) GTEST_SKIP() << "the race was not hit in 20 tries";
}

// ---- Attacks on the walk ------------------------------------------------------------------

// The contents of every regular file below `root`, by path.
std::map<std::string, std::string> contents_below(const std::string &root) {
    std::map<std::string, std::string> out;
    for (const auto &name : list_dir(root)) {
        const std::string path = root + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) out.merge(contents_below(path));
        else if (S_ISREG(st.st_mode)) out[path] = read_file(path);
        else out[path] = "(special)";
    }
    return out;
}

// What the attacker does, at the moment the walk has examined an entry and is about to use it.
struct Attack {
    const char *name;
    walk_stage stage;
    const char *target;  // the entry it waits for
    void (*act)(int dirfd, const char *name);
};
const Attack *current_attack = nullptr;
std::string documents;  // outside the trash, what the attacks aim at
bool attacked = false;

void attack_hook(walk_stage stage, int dirfd, const char *name) {
    if (!current_attack || attacked || stage != current_attack->stage || strcmp(name, current_attack->target) != 0) return;
    attacked = true;
    current_attack->act(dirfd, name);
}

TEST_F(RemoveTreeTest, EntriesSwappedAtTheMomentOfUseAreNeverFollowed) {
    static const Attack attacks[] = {
        {"folder swapped for a link", walk_stage::examined, "sub",
         [](int dirfd, const char *name) {
             ASSERT_EQ(renameat(dirfd, name, dirfd, "sub-aside"), 0);
             ASSERT_EQ(symlinkat(documents.c_str(), dirfd, name), 0);
         }},
        {"file swapped for a link", walk_stage::examined, "a",
         [](int dirfd, const char *name) {
             ASSERT_EQ(unlinkat(dirfd, name, 0), 0);
             ASSERT_EQ(symlinkat((documents + "/report").c_str(), dirfd, name), 0);
         }},
        {"file swapped for a hard link to a file outside", walk_stage::examined, "a",
         [](int dirfd, const char *name) {
             ASSERT_EQ(unlinkat(dirfd, name, 0), 0);
             ASSERT_EQ(linkat(AT_FDCWD, (documents + "/report").c_str(), dirfd, name, 0), 0);
         }},
        {"file swapped for a FIFO", walk_stage::examined, "a",
         [](int dirfd, const char *name) {
             ASSERT_EQ(unlinkat(dirfd, name, 0), 0);
             ASSERT_EQ(mkfifoat(dirfd, name, 0600), 0);
         }},
    };
    documents = dir / "Documents";
    walk_hook = attack_hook;
    for (const Attack &attack : attacks) {
        SCOPED_TRACE(attack.name);
        remove_all(documents);
        make_dir(documents);
        make_dir(documents + "/inner");
        write_file(documents + "/report", "years of work");
        write_file(documents + "/inner/notes", "more work");
        const auto before = contents_below(documents);
        const std::string bait = dir / "bait";
        remove_all(bait);
        make_dir(bait);
        make_dir(bait + "/sub");
        write_file(bait + "/a", "trash");
        write_file(bait + "/sub/b", "trash");
        current_attack = &attack;
        attacked = false;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(run(bait), 0);  // what the attacker swapped in stays, so the item is not gone
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(attacked);
        EXPECT_EQ(contents_below(documents), before) << err;
        EXPECT_TRUE(exists(bait)) << "the item keeps its name while something stays in it";
    }
    current_attack = nullptr;
    walk_hook = nullptr;
}

TEST_F(RemoveTreeTest, AFileWrittenToDuringItsPassesStaysWhole) {
    const std::string file = dir / "growing";
    write_file(file, std::string(10000, 'o'));
    static const Attack append = {"append", walk_stage::overwritten, "growing", [](int dirfd, const char *name) {
                                      int fd = openat(dirfd, name, O_WRONLY | O_APPEND);
                                      ASSERT_GE(fd, 0);
                                      ASSERT_EQ(write(fd, "late data", 9), 9);
                                      close(fd);
                                  }};
    current_attack = &append;
    attacked = false;
    walk_hook = attack_hook;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(file), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    walk_hook = nullptr;
    current_attack = nullptr;
    EXPECT_TRUE(attacked);
    EXPECT_EQ(err, ": unable to remove " + file + ": Device or resource busy\n");
    // Kept under its name, at its length, for the next try.
    const std::string left = read_file(file);
    EXPECT_EQ(left.size(), 10009u);
    EXPECT_EQ(left.substr(10000), "late data");
}

TEST_F(RemoveTreeTest, WhatStaysInsideKeepsEveryNameOnTheWayToIt) {
    const std::string item = dir / "item";
    make_dir(item);
    make_dir(item + "/sub");
    write_file(item + "/sub/locked", "kept");
    write_file(item + "/sub/plain", "goes");
    if (!set_immutable(item + "/sub/locked", true)) GTEST_SKIP() << "this file system keeps no immutable flag";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(item), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    set_immutable(item + "/sub/locked", false);
    EXPECT_EQ(list_dir(item), std::vector<std::string>{"sub"}) << err;
    EXPECT_EQ(list_dir(item + "/sub"), std::vector<std::string>{"locked"});
    EXPECT_EQ(read_file(item + "/sub/locked"), "kept");
}

// A file the walk may not make writable (another user's, in a folder of ours) is skipped:
// that must count as a failure, not as a deletion.
TEST_F(RemoveTreeTest, AnEntrySkippedAsNotOursIsAFailure) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    const uid_t nobody = 65534;
    const std::string item = dir / "item";
    make_dir(item);
    write_file(item + "/roots", "root's");
    chmod((item + "/roots").c_str(), 0444);
    ASSERT_EQ(chown(item.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const pid_t child = fork();
    if (child == 0) {
        if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(3);
        _exit(quillon::secure_delete(item.c_str(), 0));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "reported as deleted";
    EXPECT_EQ(read_file(item + "/roots"), "root's");
    EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"item"});
}

TEST_F(RemoveTreeTest, ASparseFileIsOverwrittenWithoutFillingItsVolume) {
    const std::string why = private_mounts();
    if (!why.empty()) GTEST_SKIP() << why;
    const std::string volume = dir / "small";
    make_dir(volume);
    const std::string failed = mount_for_test("tmpfs", volume, "tmpfs", "size=8m");
    if (!failed.empty()) GTEST_SKIP() << failed;
    // 1 GiB apparent, 4 KiB of data in the middle: a virtual machine's disk image, say.
    const std::string image = volume + "/disk.img";
    int fd = open(image.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    const std::string data(4096, 'S');
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), off_t{512} << 20), 4096);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
    close(fd);

    static std::string seen;
    static const Attack look = {"look", walk_stage::overwritten, "disk.img", [](int dirfd, const char *name) {
                                    int image_fd = openat(dirfd, name, O_RDONLY);
                                    char block[4096];
                                    if (pread(image_fd, block, sizeof block, off_t{512} << 20) == 4096) seen.assign(block, 4096);
                                    close(image_fd);
                                }};
    current_attack = &look;
    attacked = false;
    walk_hook = attack_hook;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(run(image), 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    walk_hook = nullptr;
    current_attack = nullptr;
    EXPECT_EQ(err, "");
    EXPECT_FALSE(exists(image));
    ASSERT_TRUE(attacked);
    EXPECT_NE(seen, data) << "the data was not overwritten";
    umount2(volume.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace quillon::engine
