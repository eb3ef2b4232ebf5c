// Random trashes (items of weighted kinds, hostile bookkeeping, tampered records) purged by the
// server's own cycles, plainly and securely. After each cycle: nothing outside the trash
// changed; a due item went with its info file and record, or was logged once and kept its
// record; what was not due stays; the notice counts what went; no log line holds a raw control
// byte; a securely purged file held none of its data after its passes. QUILLON_SAFETY_SEED
// replays one seed, QUILLON_SAFETY_SEEDS sets how many run.
#include <fcntl.h>
#include <ftw.h>
#include <limits.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "bus/run_loop.h"
#include "preferences/user_defaults.h"
#include "preferences/preferences.h"
#include "secure_delete/engine.h"
#include "server/server_cycle.h"
#include "server/trash_server.h"
#include "test_environment.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace quillon::testing;
using engine::walk_stage;

// Everything below `root` (links not followed): type, mode, size, contents, link target.
std::map<std::string, std::string> snapshot(const std::string &root) {
    static std::map<std::string, std::string> *out;
    std::map<std::string, std::string> result;
    out = &result;
    nftw(
        root.c_str(),
        [](const char *path, const struct stat *st, int, struct FTW *) {
            // Not the link count: a hard link inside the trash shares it, and goes with the trash.
            std::string entry = std::to_string(st->st_mode) + ":" + std::to_string(st->st_size);
            if (S_ISREG(st->st_mode)) entry += ":" + read_file(path);
            char target[PATH_MAX];
            const ssize_t n = S_ISLNK(st->st_mode) ? readlink(path, target, sizeof target) : 0;
            (*out)[path] = entry + ":" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
            return 0;
        },
        16, FTW_PHYS);
    return result;
}

const std::string kMarker = "quillon marker data ";

// What the secure walk met, on the thread it runs on: the files whose passes were done (and
// those that still held marker data then), and at most one entry swapped at one stage.
struct WalkWatch {
    std::set<std::string> overwritten, unwiped;
    std::string swapName, outside;
    walk_stage swapStage = walk_stage::examined;
    int swapHow = 0;  // 0 folder to a link out; 1 file to a link out, 2 to a hard link out, 3 to a FIFO
    bool swapped = false;
} watch;

void onWalk(walk_stage stage, int dirfd, const char *name) {
    if (stage == walk_stage::overwritten) {
        watch.overwritten.insert(name);
        std::string data(1 << 20, '\0');
        const int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? pread(fd, data.data(), data.size(), 0) : -1;
        close(fd);
        if (n < 0 || std::string_view(data.data(), n).find(kMarker) != std::string_view::npos) watch.unwiped.insert(name);
    }
    if (watch.swapped || stage != watch.swapStage || watch.swapName != name) return;
    watch.swapped = true;
    if (watch.swapHow == 0) (void)renameat(dirfd, name, dirfd, "aside");
    else (void)unlinkat(dirfd, name, 0);
    if (watch.swapHow < 2) (void)symlinkat((watch.outside + (watch.swapHow ? "/file" : "/dir")).c_str(), dirfd, name);
    if (watch.swapHow == 2) (void)linkat(AT_FDCWD, (watch.outside + "/linked").c_str(), dirfd, name, 0);
    if (watch.swapHow == 3) (void)mkfifoat(dirfd, name, 0600);
}

class WatchedEnvironment : public TestEnvironment {
 public:
    using TestEnvironment::TestEnvironment;
    bool secureDelete(const std::string &path, int level) override {
        engine::walk_hook = onWalk;  // the hook is the walk's thread's own
        const bool deleted = TestEnvironment::secureDelete(path, level);
        engine::walk_hook = nullptr;
        return deleted;
    }
};

struct Item {
    std::string name;
    // young: trashed after the first cycle; old: recorded as years old
    bool young = false, old = false, mayFail = false, mustFail = false, infoPlanted = false, gone = false;
    uint64_t bytes = 0;                       // what the notice counts when it goes
    std::vector<std::string> files;  // its regular files, by name
    std::string folder;              // its inner folder
};

void runSeed(unsigned seed, bool secure, bool canMount) {
    SCOPED_TRACE(std::string(secure ? "secure" : "plain") + " seed " + std::to_string(seed) + " (QUILLON_SAFETY_SEED replays it)");
    std::mt19937 random(seed);
    auto chance = [&](unsigned n) { return random() % n == 0; };  // one in n
    TempDir home, outside;
    WatchedEnvironment environment(home.path());
    UserDefaults::resetStandardUserDefaults();
    const std::string files = make_home_trash(home), trash = home / ".local/share/Trash";
    make_tree(outside.path(), {"dir/", "dir/precious=years of work", "file=tax records", "linked=shared data",
                               "Documents/", "Documents/report=more work", "decoy/", "decoy/i0.trashinfo=x", "sizes=1 2 i0\n"});
    watch = WalkWatch();
    watch.outside = outside.path();
    std::vector<Item> items;
    std::vector<std::string> mounts;
    std::set<std::string> refused;
    std::map<std::string, std::string> guarded;  // what a mount inside an item shows
    int serial = 0;  // inner names are unique, so that the walk's hook knows them
    const bool infoLinked = chance(6), swapWanted = secure && chance(2);
    auto addItem = [&](bool young) {
        static const char *awkward[] = {"new\nline ", "ctl\x01\x1b ", "bad \xff\xfe ", "-rf ", "--help "};
        Item item;
        item.young = young, item.name = (chance(3) ? awkward[random() % 5] : "") + std::string("i") + std::to_string(items.size());
        const std::string path = files + "/" + item.name;
        auto regular = [&](const std::string &file) {  // some sparse: 4 KiB of data at the end of 1 MiB
            const bool sparse = chance(4);
            const size_t size = sparse ? 1 << 20 : kMarker.size() + random() % 20000, length = sparse ? 4096 : size;
            std::string data;
            while (data.size() < length) data += kMarker;
            const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            EXPECT_TRUE(pwrite(fd, data.data(), length, size - length) == ssize_t(length) && ftruncate(fd, size) == 0);
            close(fd);
            item.bytes += size;
            item.files.push_back(file.substr(file.rfind('/') + 1));
        };
        const std::string target = chance(3) ? outside / "dir" : chance(2) ? outside / "file" : home / "nowhere";
        switch (std::discrete_distribution<int>({4, 3, 2, 1, 1, 1, 1, 1})(random)) {
            case 0: regular(path); break;
            case 1:
                item.folder = "d" + std::to_string(serial++);
                make_tree(files, {item.name + "/", item.name + "/" + item.folder + "/", item.name + "/l->" + target});
                regular(path + "/f" + std::to_string(serial++));
                regular(path + "/" + item.folder + "/f" + std::to_string(serial++));
                item.bytes += target.size();
                if (swapWanted && watch.swapName.empty()) {  // swapped while the walk uses it
                    item.mayFail = true;
                    watch.swapHow = random() % 4;
                    watch.swapName = watch.swapHow ? item.files[0] : item.folder;
                    watch.swapStage = watch.swapHow && chance(2) ? walk_stage::overwritten : walk_stage::examined;
                    item.files.erase(item.files.begin());
                }
                break;
            case 2:
                make_tree(files, {item.name + "->" + target});
                item.bytes = target.size();
                break;
            case 3:
                EXPECT_EQ(link((outside / "linked").c_str(), path.c_str()), 0);
                item.bytes = 11, item.mayFail = secure;  // its name goes, its shared data is not overwritten: a failure
                break;
            case 4:
                item.mayFail = secure;  // the secure engine leaves special files alone
                chance(2) ? make_tree(files, {item.name + "|"}) : bind_socket(path);
                break;
            case 5: {  // a chain of folders whose full path runs past PATH_MAX
                int fd = (make_dir(path), open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                for (int depth = 0; depth < PATH_MAX / 250 + 2; depth++) {
                    mkdirat(fd, std::string(250, 'd').c_str(), 0700);
                    const int child = openat(fd, std::string(250, 'd').c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                    close(fd), fd = child;
                }
                close(openat(fd, "bottom", O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), close(fd);
                break;
            }
            case 6:
                regular(path);
                item.mustFail = set_immutable(path, true);
                break;
            default:  // a folder bound inside, a file bound over, or a tmpfs inside
                const int how = random() % 3;
                if (how == 1) write_file(path, "");
                else make_tree(files, {item.name + "/", item.name + "/mnt/"});
                const std::string point = how == 1 ? path : path + "/mnt";
                item.mustFail = canMount && mount_for_test(how == 0 ? outside / "Documents" : how == 1 ? outside / "file" : "tmpfs",
                                                           point, how == 2 ? "tmpfs" : "bind", how == 2 ? "size=1m" : "")
                                                .empty();
                if (item.mustFail) mounts.push_back(point);
                if (item.mustFail && how == 2) write_file(point + "/work", guarded[point + "/work"] = "unsaved work");
        }
        if (chance(8) && !item.mayFail) refused.insert("/" + item.name), item.mustFail = true;
        item.infoPlanted = !infoLinked && !chance(6);  // else a link out, or none in a linked info folder
        if (!infoLinked) make_tree(trash + "/info", {item.name + ".trashinfo" + (item.infoPlanted ? "=[Trash Info]" : "->" + outside / "file")});
        items.push_back(std::move(item));
    };
    environment.failRemoval = [&](const std::string &path) { return refused.count(path.substr(path.rfind('/'))) != 0; };

    for (size_t count = 10 + random() % 11; count > 0; count--) addItem(false);
    if (infoLinked) remove_all(trash + "/info"), make_tree(trash, {"info->" + outside / "decoy"});
    const std::vector<std::string> sizes = {"", "directorysizes|", "directorysizes->/dev/zero", "directorysizes->" + outside / "sizes"};
    if (const std::string &plant = sizes[random() % 4]; !plant.empty()) make_tree(trash, {plant});
    // Tampered records: names that are no item's, and an item's twice, years old.
    std::vector<std::pair<std::string, std::string>> records = {{"..", "2001-01-01T00:00:00Z"}, {"a/b", "2001-01-01T00:00:00Z"}};
    for (Item *item : {&items[random() % items.size()], &items[random() % items.size()]})
        item->old = true, records.insert(records.end(), 2, {item->name, "2001-01-01T00:00:00Z"});
    write_file(home / ".config/local.vantor.quillon.list.plist", trash_list_xml(files, records));
    {  // written as the object goes; with notices on, the cycle measures what it deletes
        Preferences preferences;
        preferences.setSecure(secure), preferences.setNotifying(true);
    }
    const auto before = snapshot(outside.path());
    CapturedLog log;
    RunLoop loop;
    TrashServer server(loop);

    for (int number = 0; number <= 2; number++) {
        SCOPED_TRACE("cycle " + std::to_string(number));
        for (size_t young = number == 1 ? 2 + random() % 4 : 0; young > 0; young--) addItem(true);
        if (number) environment.advance(5 * 86400);
        std::vector<std::pair<Item *, bool>> present;  // with whether due
        for (Item &item : items)
            if (!item.gone && exists(files + "/" + item.name)) present.emplace_back(&item, number ? number == 2 || !item.young : item.old);
        log.lines.clear();
        ::testing::internal::CaptureStderr();  // the secure engine reports there
        const CycleReport report = cycle(server, loop);
        const std::string engine = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(snapshot(outside.path()), before) << "something outside the trash changed; " << engine;
        for (const auto &[path, contents] : guarded) EXPECT_EQ(read_file(path), contents);
        for (const std::string &line : log.lines)
            for (unsigned char byte : line) EXPECT_TRUE(byte >= 0x20 && byte != 0x7f) << "raw control byte in: " << line;
        auto folder = server.trash()->trashFolderWithPath(files);
        uint64_t bytes = 0, went = 0;
        for (auto [item, due] : present) {
            SCOPED_TRACE(escapedText(item->name));
            const std::string path = files + "/" + item->name;
            const std::string failure = escapedText((secure ? "could not securely delete: " : "could not delete: ") + path) + " (";
            const auto lines = std::count_if(log.lines.begin(), log.lines.end(), [&](const std::string &line) { return line.starts_with(failure); });
            const bool recorded = folder && folder->trashFileWithPath(item->name);
            if (!due) {
                EXPECT_TRUE(recorded && exists(path) && lines == 0) << "not due, yet touched";
            } else if (!exists(path) && lines == 0) {
                item->gone = true;
                EXPECT_FALSE(recorded) << "gone, yet still recorded";
                EXPECT_FALSE(item->infoPlanted && exists(trash + "/info/" + item->name + ".trashinfo")) << "its info file stays";
                EXPECT_FALSE(item->mustFail) << "went, yet could not have";
                bytes += item->bytes, went++;
                for (const std::string &name : item->files)
                    EXPECT_TRUE(!secure || watch.overwritten.count(name)) << name << " went without being overwritten";
            } else {
                EXPECT_EQ(lines, 1) << "what stays is logged once a cycle";
                EXPECT_TRUE(recorded) << "what stays keeps its record";
                EXPECT_TRUE(item->mayFail || item->mustFail) << "stays, yet nothing stood in its way; " << engine;
                EXPECT_TRUE(!item->mustFail || exists(path));
            }
        }
        EXPECT_TRUE(watch.unwiped.empty()) << *watch.unwiped.begin() << " held its data after its passes";
        for (const auto &freed : report.freed) bytes -= freed.bytes, went -= freed.items;
        EXPECT_TRUE(bytes == 0 && went == 0) << "the notice's count is off by " << went << " items, " << bytes << " bytes";
        for (Item &item : items)  // what a swap left in an item that stayed is what it holds now
            if (item.mayFail && !item.folder.empty() && !item.gone) {
                item.bytes = 0;
                for (const auto &[path, entry] : snapshot(files + "/" + item.name))
                    if (S_ISREG(std::stoul(entry)) || S_ISLNK(std::stoul(entry))) item.bytes += std::stoull(entry.substr(entry.find(':') + 1));
            }
    }
    EXPECT_TRUE(watch.swapName.empty() || watch.swapped) << "the walk never reached " << watch.swapName;
    for (auto point = mounts.rbegin(); point != mounts.rend(); ++point) umount2(point->c_str(), MNT_DETACH);
    UserDefaults::resetStandardUserDefaults();
}

TEST(SafetyGenerator, NothingOutsideChangesAndEveryDueItemGoesOrIsLogged) {
    const bool canMount = private_mounts().empty();
    const char *one = getenv("QUILLON_SAFETY_SEED"), *many = getenv("QUILLON_SAFETY_SEEDS");
    const unsigned first = one ? std::strtoul(one, nullptr, 10) : 1, last = one ? first : many ? std::strtoul(many, nullptr, 10) : 40;
    for (unsigned seed = first; seed <= last && !HasFailure(); seed++)
        for (bool secure : {false, true}) runSeed(seed, secure, canMount);
}

}  // namespace
}  // namespace quillon
