// The engine's walk: every entry renamed before it goes, innermost first; hard links and special
// files never overwritten, and reported; a file written to during its passes left whole.
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <functional>
#include <map>
#include <regex>

#include "secure_delete/engine.h"
#include "secure_delete/secure_delete.h"
#include "engine_test_support.h"
#include "test_support.h"

namespace quillon::engine {
namespace {

using ::testing::HasSubstr;
using namespace quillon::testing;

// Renames and deletions in watched folders, in order, as "label:from|to|delete:name".
class Watcher {
 public:
    Watcher() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~Watcher() { close(fd_); }
    void watch(const std::string &dir, const std::string &label) {
        labels_[inotify_add_watch(fd_, dir.c_str(), IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE)] = label;
    }
    std::vector<std::string> events() {
        std::vector<std::string> out;
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t n; (n = read(fd_, buffer, sizeof buffer)) > 0;)
            for (auto *e = reinterpret_cast<inotify_event *>(buffer); reinterpret_cast<char *>(e) < buffer + n;
                 e = reinterpret_cast<inotify_event *>(reinterpret_cast<char *>(e + 1) + e->len))
                if (e->mask & (IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE))
                    out.push_back(labels_[e->wd] + (e->mask & IN_MOVED_FROM ? ":from:" : e->mask & IN_MOVED_TO ? ":to:" : ":delete:") +
                                  (e->len ? e->name : ""));
        return out;
    }

 private:
    int fd_;
    std::map<int, std::string> labels_;
};

// What `call` returns, what it printed to stderr in `err`.
int captured(const std::function<int()> &call, std::string *err) {
    ::testing::internal::CaptureStderr();
    const int status = call();
    *err = ::testing::internal::GetCapturedStderr();
    return status;
}
// The secure delete of `path`.
int run(const std::string &path, std::string *err) { return captured([&] { return quillon::secure_delete(path.c_str(), 0); }, err); }
// The engine's own status for `operands` under `opts`.
int walk(std::vector<std::string> paths, uint32_t opts, std::string *err) {
    std::vector<char *> operands;
    for (auto &path : paths) operands.push_back(path.data());
    operands.push_back(nullptr);
    options = opts;
    init_random(1);
    const int status = captured([&] { return remove_tree(operands.data()); }, err);
    close_random();
    return status;
}

TEST(Walk, ATreeGoesInnermostFirstEveryEntryRenamedToARandomNameBeforeItGoes) {
    TempDir dir;
    const std::string top = dir / "top";
    make_tree(dir.path(), {"top/", "top/inner/", "top/a=alpha", "top/inner/b=" + std::string(10000, 'b')});
    Watcher watcher;
    watcher.watch(dir.path(), "root");
    watcher.watch(top, "top");
    watcher.watch(top + "/inner", "inner");
    std::string err;
    EXPECT_EQ(run(top, &err), 1);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(list_dir(dir.path()).empty());

    const std::vector<std::string> events = watcher.events();
    auto position = [&](const std::string &prefix) {
        for (size_t i = 0; i < events.size(); i++)
            if (events[i].rfind(prefix, 0) == 0) return static_cast<int>(i);
        return -1;
    };
    for (const auto &[label, name] : std::vector<std::pair<std::string, std::string>>{
             {"top", "a"}, {"inner", "b"}, {"top", "inner"}, {"root", "top"}}) {
        const int from = position(label + ":from:" + name);
        ASSERT_GE(from, 0) << label << "/" << name;
        ASSERT_LT(from + 1, static_cast<int>(events.size()));
        const std::string &to = events[from + 1];
        EXPECT_TRUE(std::regex_match(to, std::regex(label + ":to:[A-Za-z0-9]{14}"))) << to;
        EXPECT_GT(position(label + ":delete:" + to.substr(to.rfind(':') + 1)), from);
    }
    EXPECT_LT(position("inner:delete:"), position("top:from:inner"));
    EXPECT_LT(position("top:from:inner"), position("root:from:top"));
}

TEST(Walk, HardLinksAndSpecialFilesAreReportedAndLeft) {
    TempDir dir;
    const std::string outside = dir / "outside", item = dir / "item";
    make_tree(dir.path(), {"outside/", "outside/precious=keep me"});
    // A hard-linked file loses this name only, its shared data untouched, and that is reported.
    ASSERT_EQ(link((outside + "/precious").c_str(), (dir / "hard").c_str()), 0);
    std::string err;
    EXPECT_EQ(run(dir / "hard", &err), 0);
    const std::string message = dir / "hard" + " has multiple links, this one has been removed but not overwritten";
    EXPECT_EQ(err, ": " + message.substr(0, 99) + "\n");
    EXPECT_EQ(read_file(outside + "/precious"), "keep me");

    // A FIFO or socket stays, as item or inside one: a failure, and whatever stays keeps its
    // own name and so do the folders that hold it.
    make_tree(dir.path(), {"item/", "item/sub/", "item/sub/fifo|", "item/sub/file=x"});
    bind_socket(dir / "sock");
    EXPECT_NE(walk({item, dir / "sock", item + "/sub/fifo"}, OPT_FORCE | OPT_RECURSIVE, &err), 0);
    EXPECT_THAT(err, HasSubstr(": unable to remove " + item + "/sub: Directory not empty\n"));
    EXPECT_THAT(err, HasSubstr(": unable to remove " + item + ": Directory not empty\n"));
    EXPECT_EQ(list_dir(item + "/sub"), std::vector<std::string>{"fifo"});
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"item", "outside", "sock"}));
}

TEST(Walk, OperandsMissingSlashOnlyOrNotToBeEntered) {
    TempDir dir;
    make_dir(dir / "d");
    write_file(dir / "d/f", "x");
    std::string err;
    EXPECT_EQ(walk({dir / "never-was"}, OPT_FORCE | OPT_RECURSIVE, &err), 0);
    EXPECT_EQ(err, "");  // a missing operand is silent success
    EXPECT_NE(walk({"///"}, OPT_FORCE | OPT_RECURSIVE, &err), 0);
    EXPECT_EQ(err, ": unable to remove /: Invalid argument\n");
    EXPECT_NE(walk({dir / "d"}, OPT_FORCE, &err), 0);
    EXPECT_EQ(err, ": " + (dir / "d") + " is a directory\n");
    EXPECT_EQ(read_file(dir / "d/f"), "x");

    const std::string path = dir / "d///";  // trailing slashes are stripped on a copy
    EXPECT_EQ(run(path, &err), 1);
    EXPECT_EQ(path, dir / "d///");
    EXPECT_FALSE(exists(dir / "d"));
}

TEST(Walk, InteractiveQuestionsTakeOnlyALowercaseYes) {
    TempDir dir;
    write_file(dir / "answers", "y\nn\nY\n");
    const int saved_stdin = dup(0), answers = open((dir / "answers").c_str(), O_RDONLY | O_CLOEXEC);
    dup2(answers, 0), close(answers), clearerr(stdin);
    ::testing::internal::CaptureStdout();
    for (const char *name : {"a", "b", "c"}) {
        write_file(dir / name, "x");
        std::string err;
        EXPECT_EQ(walk({dir / name}, OPT_INTERACTIVE | OPT_RECURSIVE, &err), name[0] == 'a' ? 0 : 1) << name;
    }
    const std::string out = ::testing::internal::GetCapturedStdout();
    dup2(saved_stdin, 0), close(saved_stdin), clearerr(stdin);
    EXPECT_EQ(out, "Remove " + (dir / "a") + "? Remove " + (dir / "b") + "? Remove " + (dir / "c") + "? ");
    EXPECT_EQ(list_dir(dir.path()), (std::vector<std::string>{"answers", "b", "c"}));
}

TEST(Walk, ARandomNameSkipsNonAlphanumericBytesAndIsRedrawnWhenTaken) {
    TempDir dir;
    write_file(dir / "AAAAAAAAAAAAAA", "already here");
    write_file(dir / "victim", "x");
    std::string script;  // first draw: A x14 between refused bytes (taken); second: B x14
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

// ---- Attacks at the moment the walk has examined an entry and is about to use it ----------

std::function<void(int dirfd, const char *name)> attack;  // done once, when the passes of `path` are done

// The secure delete of `path`, with `act` done once when its passes are done.
int attacked_run(const std::string &path, std::function<void(int, const char *)> act, std::string *err) {
    attack = std::move(act);
    walk_hook = [](walk_stage stage, int dirfd, const char *name) {
        if (stage == walk_stage::overwritten && attack) std::exchange(attack, nullptr)(dirfd, name);
    };
    const int status = run(path, err);
    walk_hook = nullptr;
    EXPECT_FALSE(attack) << "the walk never overwrote " << path;
    return status;
}

TEST(WalkAttacks, AFileWrittenToDuringItsPassesStaysWholeUnderItsName) {
    TempDir dir;
    const std::string file = dir / "growing";
    write_file(file, std::string(10000, 'o'));
    std::string err;
    EXPECT_EQ(attacked_run(file,
                           [](int fd, const char *name) {
                               const int out = openat(fd, name, O_WRONLY | O_APPEND);
                               ASSERT_EQ(write(out, "late data", 9), 9);
                               close(out);
                           },
                           &err),
              0);
    EXPECT_EQ(err, ": unable to remove " + file + ": Device or resource busy\n");
    const std::string left = read_file(file);
    EXPECT_TRUE(left.size() == 10009 && left.ends_with("late data")) << left.size();
}

TEST(WalkAttacks, ASparseFileIsOverwrittenWithoutFillingItsVolume) {
    QUILLON_SKIP_IF(private_mounts());
    TempDir dir;
    const std::string volume = dir / "small";
    QUILLON_SKIP_IF(mount_for_test("tmpfs", volume, "tmpfs", "size=8m"));
    // 1 GiB apparent, 4 KiB of data in the middle: a virtual machine's disk image, say.
    const std::string image = volume + "/disk.img", data(4096, 'S');
    const int fd = open(image.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(pwrite(fd, data.data(), data.size(), off_t{512} << 20), 4096);
    ASSERT_EQ(ftruncate(fd, off_t{1} << 30), 0);
    close(fd);
    std::string seen, err;
    EXPECT_EQ(attacked_run(image,
                           [&](int dirfd, const char *name) {
                               const int in = openat(dirfd, name, O_RDONLY);
                               seen.resize(4096);
                               if (pread(in, seen.data(), 4096, off_t{512} << 20) != 4096) seen.clear();
                               close(in);
                           },
                           &err),
              1);
    EXPECT_EQ(err, "");
    EXPECT_FALSE(exists(image));
    EXPECT_NE(seen, data) << "the data was not overwritten";
    umount2(volume.c_str(), MNT_DETACH);
}

// A file the walk may not make writable (another user's, in a folder of ours) is skipped, and
// that is a failure, not a deletion.
TEST(WalkAttacks, AnEntrySkippedAsNotOursIsAFailure) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a file of another user";
    TempDir dir;
    const uid_t nobody = 65534;
    const std::string item = dir / "item";
    make_tree(dir.path(), {"item/", "item/roots=root's"});
    chmod((item + "/roots").c_str(), 0444);
    ASSERT_EQ(chown(item.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    const pid_t child = fork();
    std::string err;
    if (child == 0) _exit(setgid(nobody) != 0 || setuid(nobody) != 0 ? 3 : run(item, &err));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "reported as deleted";
    EXPECT_EQ(read_file(item + "/roots"), "root's");
}

}  // namespace
}  // namespace quillon::engine
