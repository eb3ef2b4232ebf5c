#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_environment.h"
#include "test_support.h"
#include "trash/trash.h"

namespace quillon {
namespace {

using namespace quillon::testing;

// The trash folders the registry finds for user 1000 through a mount table: the home trash,
// then one row a volume (how its trash stands, its mount line) in table order.
TEST(TrashLocations, OneTableOfMountLinesToFolders) {
    TempDir dir;
    TestEnvironment environment{dir.path()};
    const uid_t uid = 1000;
    environment.setUserId(uid);
    make_tree(dir.path(), {".local/", ".local/share/", ".local/share/Trash/", ".local/share/Trash/files/", "elsewhere/",
                           "elsewhere/files/"});
    ASSERT_EQ(chown((dir / "elsewhere").c_str(), uid, 0), 0);
    enum Kind { kOwn, kForeign, kLinked, kNone, kSticky, kNotSticky };
    // found: below the volume, or nullptr for none
    const struct { const char *name; Kind kind; const char *type, *options, *found; } rows[] = {
        {"b", kOwn, "ext4", "rw", "/.Trash-1000/files"},
        {"a", kOwn, "vfat", "rw", "/.Trash-1000/files"},       // table order, not name order
        {"v", kSticky, "ext4", "rw", "/.Trash/1000/files"},     // the shared trash before the own one
        {"w", kNotSticky, "ext4", "rw", "/.Trash-1000/files"},  // a shared trash not sticky is not trusted
        {"foreign", kForeign, "ext4", "rw", nullptr},
        {"linked", kLinked, "ext4", "rw", nullptr},
        {"empty", kNone, "ext4", "rw", nullptr},  // and nothing is made there
        {"proc", kOwn, "proc", "rw", nullptr},
        {"notrash", kOwn, "ext4", "rw,x-gvfs-notrash", nullptr},
        {"forced", kOwn, "tmpfs", "rw,x-gvfs-trash", "/.Trash-1000/files"},
        {"with space", kOwn, "ext4", "rw", "/.Trash-1000/files"},  // escaped in the table
        {"a\ttab\\", kOwn, "ext4", "rw", "/.Trash-1000/files"},
    };
    const auto escaped = [](const std::string &path) {
        std::string out;
        for (char c : path) out += c == ' ' ? "\\040" : c == '\t' ? "\\011" : c == '\\' ? "\\134" : std::string(1, c);
        return out;
    };
    std::string table;
    std::vector<std::string> expected{dir / ".local/share/Trash/files"};
    for (const auto &row : rows) {
        const std::string top = dir / row.name, own = top + "/.Trash-1000";
        make_dir(top);
        if (row.kind == kSticky || row.kind == kNotSticky) {
            make_tree(top, {".Trash/", ".Trash/1000/", ".Trash/1000/files/"});
            ASSERT_EQ(chown((top + "/.Trash/1000").c_str(), uid, 0), 0);
            chmod((top + "/.Trash").c_str(), row.kind == kSticky ? 01777 : 0777);
        }
        if (row.kind == kLinked) {
            ASSERT_EQ(symlink((dir / "elsewhere").c_str(), own.c_str()), 0);
        }
        if (row.kind != kLinked && row.kind != kNone) {
            make_tree(top, {".Trash-1000/", ".Trash-1000/files/"});
            ASSERT_EQ(chown(own.c_str(), row.kind == kForeign ? 4242 : uid, 0), 0);
        }
        table += mountinfo_line(top, row.type, row.options, escaped(top));
        if (row.found) expected.push_back(top + row.found);
    }
    // A second way to a folder, and a line twice: listed once. A line that is no mount: skipped.
    ASSERT_EQ(symlink((dir / "b").c_str(), (dir / "bind").c_str()), 0);
    table += mountinfo_line(dir / "bind", "ext4", "rw", "") + mountinfo_line(dir / "a", "vfat", "rw", "") + "garbage line\n";
    environment.setMountTable(table);
    Trash trash;
    (void)trash.updateLists();
    std::vector<std::string> found;
    for (const auto &folder : *trash.folders()) found.push_back(folder->path());
    EXPECT_EQ(found, expected);
    EXPECT_FALSE(exists(dir / "empty/.Trash-1000"));
}

}  // namespace
}  // namespace quillon
