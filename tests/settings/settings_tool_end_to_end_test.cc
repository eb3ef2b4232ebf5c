// quillon-settings against the real server on a private session bus, with a temporary home.
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/calendar_date.h"
#include "private_bus.h"
#include "process_runner.h"
#include "test_support.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
using namespace quillon::testing;
using ::testing::HasSubstr;

struct Result {
    int status;
    std::string output;  // standard output and error together
};

class SettingsToolEndToEnd : public ::testing::Test {
 protected:
    PrivateBus bus;
    TempDir home;
    std::string files = make_home_trash(home);
    std::string domainFile = home / ".config/local.vantor.quillon.plist";
    std::string listFile = home / ".config/local.vantor.quillon.list.plist";
    int runs = 0;

    void SetUp() override { ASSERT_TRUE(bus.ok()) << "dbus-daemon did not start"; }
    // Info files' dates are local time: two hours ahead of UTC.
    std::map<std::string, std::string> environment(const std::string &language = "") {
        auto variables = session_environment(home.path(), bus.address());
        variables.insert({{"LANGUAGE", language}, {"TZ", "XXX-2"}, {"LC_ALL", language.empty() ? "C" : "C.UTF-8"}});
        return variables;  // gettext heeds LANGUAGE only outside the C locale
    }
    // Runs quillon-settings with `args`, or the binary `args` begins with when it is a path.
    // Without `withBus`, the session bus's address leads nowhere.
    Result tool(const std::vector<std::string> &args, const std::string &language = "", bool withBus = true) {
        const std::string log = home / ("tool" + std::to_string(runs++) + ".log");
        std::vector<std::string> argv = {QUILLON_SETTINGS};
        if (!args.empty() && args[0][0] == '/') argv.clear();
        argv.insert(argv.end(), args.begin(), args.end());
        auto variables = environment(language);
        if (!withBus) variables["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + home / "no-bus";
        const int status = ChildProcess(argv, variables, log).wait();  // the tool must end, however it fares: no bound but the test's
        return {status, read_file(log)};
    }
    // Each command's status, and what its output ends with (without a session bus) or holds.
    struct Said { std::vector<std::string> args; int status; std::string says; };
    void expectSaid(const std::vector<Said> &cases, bool withBus) {
        for (const auto &c : cases) {
            const Result result = tool(c.args, "", withBus);
            EXPECT_EQ(result.status, c.status) << result.output;
            EXPECT_TRUE(withBus ? result.output.find(c.says) != std::string::npos : result.output.ends_with(c.says)) << result.output;
        }
    }
    std::unique_ptr<ChildProcess> server(const std::string &interval) {
        return std::make_unique<ChildProcess>(std::vector<std::string>{QUILLON_TEST_SERVER, interval}, environment(), home / "server.log");
    }
};

// Without a server: what each command says, in which language, with what status. A usage
// error is two lines, the problem and where to read more. Stored files a command refuses to
// work with, or only reads (a count beyond its unit's range too), stay untouched, and only a
// successful set is announced.
TEST_F(SettingsToolEndToEnd, EveryCommandWithoutAServer) {
    const std::string refused = "<plist version=\"1.0\"><dict><key>period</key><integer>1</integer><key>units</key>"
                                "<integer>20</integer></dict></plist>";
    const std::string damaged = "<plist version=\"1.0\"><dict><key>units</key><integer>6</integer>";
    const std::string unreadable = "<plist version=\"1.0\"><dict><key>inode</key><integer>99999999999999999999</integer></dict></plist>";
    const std::string usage = "\nTry 'quillon-settings --help' for more information.\n";
    const struct {
        const char *language;
        std::string domain, list;  // stored before the command, when not empty
        std::vector<std::string> args;
        int status;
        std::string says;
        bool whole;  // says is the whole output
    } cases[] = {
        {"", "", "", {}, 0, "Delete items 4 days after they were first seen, plainly.\nA desktop notice tells of each purge.\n"
                            "Cannot tell whether the server starts at login: no systemd user manager answers.\nThe server is not running.\n", true},
        {"", "", "", {"version"}, 1, "quillon-settings: the server is not running; start it with 'quillon-settings enable' or 'systemctl --user start quillon-server'\n", true},
        {"", "", "", {"quit"}, 1, "quillon-settings: the server is not running; 'quillon-settings disable' keeps it from starting at login\n", true},
        {"", "", "", {"enable"}, 1, "quillon-settings: no systemd user manager answers on the session bus, so the server cannot be turned on or off for good here; nothing was changed\n", true},
        {"", "", "", {"disable"}, 1, "quillon-settings: no systemd user manager answers on the session bus", false},
        {"", "", "", {"enable", "now"}, 2, usage, false},
        {"", "", "", {"list"}, 0, "The server remembers no items yet.\n", true},
        {"", "", "", {"--help"}, 0, "Usage: quillon-settings [COMMAND]\n", false},
        {"", "", "", {"--version"}, 0, "quillon-settings 1.0.0\n", true},
        {"", "", "", {"set", "count", "8"}, 0, "8 is more than days allow: the count is now 7 days\nDelete items 7 days", false},
        {"", "", "", {"set", "period", "12", "months"}, 0, "Delete items 12 months after they were first seen, plainly.\nA desktop notice tells of each purge.\n", true},
        {"", "", "", {"set", "period", "0", "days"}, 2, "must be one of 1, 2, 3, 4, 5, 6, 7, not \"0\"" + usage, false},
        {"", "", "", {"set", "count", "0"}, 2, usage, false},
        {"", "", "", {"set", "period", "fortnights"}, 2, usage, false},
        {"", "", "", {"set", "secure", "maybe"}, 2, usage, false},
        {"", "", "", {"set", "secure", "yes"}, 0, "securely.\n", false},
        {"", "", "", {"set", "notify", "0"}, 0, "No desktop notice tells of purges.\n", false},
        {"", "", "", {"set", "limit", "10%"}, 0, "purge.\nA trash folder may hold at most 10% of its volume. Neither limit deletes an item first seen less than 1d ago.\n", false},
        {"", "", "", {"set", "keep-free", "101%"}, 2, usage, false},
        {"", "", "", {"set", "minimum-age", "3x"}, 2, usage, false},
        {"", "", "", {"set", "colour", "blue"}, 2, usage, false},
        {"", "", "", {"set", "count"}, 2, usage, false},
        {"", "", "", {"set", "volume", "/", "maybe"}, 2, "volume must be on or off, not \"maybe\"" + usage, false},
        {"", "", "", {"set", "volume", "/proc", "off"}, 1, "quillon-settings: /proc is not on a volume that holds a trash folder of yours;", false},
        {"", "", "", {"list", "now"}, 2, usage, false},
        {"", "", "", {"preview", "--all"}, 2, usage, false},
        {"", "", "", {"purge", "now"}, 2, usage, false},
        {"", "", "", {"keep", "old"}, 1, "quillon-settings: the server is not running; nothing was kept. Start it with", false},
        {"", "", "", {"keep"}, 2, usage, false},
        {"", "", "", {"keep", "old", "--due-within", "1d"}, 2, usage, false},
        {"", "", "", {"keep", "old", "--for", "soon"}, 2, usage, false},
        {"", "", "", {"frobnicate"}, 2, usage, false},
        {"", "", "", {QUILLON_SERVER, "--help"}, 0, "Usage: quillon-server [--help | --version]\n", false},
        {"", "", "", {QUILLON_SERVER, "--version"}, 0, "quillon-server 1.0.0\n", true},
        {"", "", "", {QUILLON_SERVER, "--now"}, 2, "quillon-server: unknown argument \"--now\"\n", false},
        {"", refused, "", {"set", "count", "0"}, 2, "must be one of 1, 2, 3, 4, 5, 6, 7, not \"0\"", false},
        {"", refused, "", {"set", "period", "days"}, 0, "21 is more than days allow: the count is now 7 days\nDelete items 7 days", false},
        {"", refused, "", {}, 0, "Delete items 21 days after", false},
        {"", refused, "", {"list"}, 0, "The server remembers no items yet.\n", true},
        {"", refused, "", {"preview", "--porcelain"}, 0, "", true},
        {"", damaged, "", {"set", "secure", "on"}, 1, "cannot be read; nothing was changed. To start afresh with the defaults, move it away:", false},
        {"", unreadable, "", {"set", "period", "weeks"}, 1, "the setting \"inode\"", false},
        {"", "", "", {"history", "--porcelain"}, 0, "2026-01-02T03:04:05Z\tage\tplain\t1\t2048\t/f\ta\\x09b\t/w/a\\x09b\n"
                                                  "2026-07-01T00:00:00Z\tpurge-now\tsecure\t2\t7\t/f\t-\t-\n", true},
        {"", "", "", {"history", "--since", "2026-06-01"}, 0, "Wed Jul  1 02:00:00 2026  purge now  7 bytes  (secure: 2 items)\n", true},
        {"", "", "", {"history", "--since", "soon"}, 2, usage, false},
        {"", "", "<plist><array><dict><key>path</key>", {"list"}, 1, "quillon-settings: the trash list file " + listFile + " is damaged (", false},
        {"de", "", "", {}, 0, "Elemente werden 4 Tage nach ihrer ersten Erfassung gelöscht (ohne Überschreiben).\n"
                              "Gelöschte Elemente werden per Benachrichtigung gemeldet.\n"
                              "Ob der Dienst bei der Anmeldung startet, lässt sich nicht feststellen, "
                              "da keine systemd-Benutzerinstanz antwortet.\nDer Dienst läuft nicht.\n", true},
        {"fr", "", "", {}, 0, "Les éléments sont supprimés 4 jours après leur première détection, "
                              "sans être écrasés.\n"
                              "Une notification de bureau signale chaque suppression.\n"
                              "Impossible de savoir si le service démarre à la connexion\u00a0: "
                              "aucun gestionnaire utilisateur de systemd ne répond.\nLe service n'est pas lancé.\n", true},
    };
    // The history, with a torn last line that must not show.
    make_tree(home.path(), {".local/state/", ".local/state/quillon/"});
    write_file(home / ".local/state/quillon/history", "2026-01-02T03:04:05Z\tage\tplain\t1\t2048\t/f\ta\\tb\t/w/a\\tb\n"
               "2026-07-01T00:00:00Z\tpurge-now\tsecure\t2\t7\t/f\t\t\n2026-08-01T00:00:00Z\tage\tplain\t1\t1\t/t\tx\t/y");
    NotificationListener listener(bus.address());
    std::vector<std::string> posted;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.language) + " " + (c.args.empty() ? "show" : c.args[0]) + " " + c.domain);
        unlink(domainFile.c_str());
        unlink(listFile.c_str());
        if (!c.domain.empty()) write_file(domainFile, c.domain);
        if (!c.list.empty()) write_file(listFile, c.list);
        struct stat before {}, after {};
        stat(domainFile.c_str(), &before);
        Result result = tool(c.args, c.language);
        EXPECT_EQ(result.status, c.status);
        EXPECT_TRUE(c.whole ? result.output == c.says : result.output.find(c.says) != std::string::npos) << result.output;
        if (c.status == 2) { EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 2) << result.output; }
        if (c.status == 0 && !c.args.empty() && c.args[0] == "set") posted.push_back("preferences changed");
        if (c.status != 0 || c.args.empty() || c.args[0] != "set") {
            EXPECT_EQ(read_file(domainFile), c.domain);
            EXPECT_EQ(read_file(listFile), c.list);
            stat(domainFile.c_str(), &after);
            EXPECT_EQ(std::tie(after.st_ino, after.st_mtim.tv_sec, after.st_mtim.tv_nsec),
                      std::tie(before.st_ino, before.st_mtim.tv_sec, before.st_mtim.tv_nsec));
        }
    }
    listener.post("a marker");  // what comes after everything the tool may have posted
    posted.push_back("a marker");
    EXPECT_EQ(listener.waitFor(posted.size(), 60s), posted);

    // With no session bus at all, each says what it cannot know and what to do; set still saves.
    expectSaid({
        {{}, 0, "plainly.\nA desktop notice tells of each purge.\nCannot tell whether the server is on or runs: there is no session bus.\n"},
        {{"set", "secure", "on"}, 0, "securely.\nA desktop notice tells of each purge.\nquillon-settings: the settings are saved; the running server could not be told (no session bus)\n"},
        {{"preview"}, 0, "Cannot tell whether the server runs: there is no session bus. A cycle now would delete:\nNothing is due.\n"},
        {{"enable"}, 1, "quillon-settings: there is no session bus, so no systemd user manager can be asked (run this in your desktop session); nothing was changed\n"},
    }, false);
    for (const char *command : {"purge", "version", "quit", "keep"})
        EXPECT_EQ(tool({command}, "", false).output,
                  "quillon-settings: cannot reach the server: there is no session bus (run this in your desktop session)\n");
}

// preview names what the next cycle deletes, with sizes from a current directorysizes line or
// counted; purge asks the running server for that cycle at once and says what went and what
// stayed; without a server it deletes nothing itself.
TEST_F(SettingsToolEndToEnd, PreviewNamesWhatPurgeThenDeletes) {
    // Names the bus cannot carry raw: Latin-1, and a backslash before a noncharacter (U+FFFF).
    const char *latin1 = "caf\xe9", *noncharacter = "a\\b\xef\xbf\xbf";
    make_tree(files, {"ancient=x", "locked=x", "fresh=x", "tab\there=x", latin1 + std::string("=x"), noncharacter + std::string("=x"),
                      "counted/", "counted/a=abc", "counted/b=defg", "cached/", "cached/a=x"});
    const std::string info = home / ".local/share/Trash/info/";
    make_tree(info, {"cached.trashinfo=[Trash Info]", "counted.trashinfo=[Trash Info]",
                     "ancient.trashinfo=[Trash Info]\nPath=/home/u/My%20Docs/ancient\nDeletionDate=2020-01-01T02:00:00\n"});
    struct stat st;
    ASSERT_EQ(stat((info + "cached.trashinfo").c_str(), &st), 0);
    // A current line for "cached", a stale one (another time) for "counted".
    write_file(home / ".local/share/Trash/directorysizes",
               "12345 " + std::to_string(st.st_mtime) + " cached\n999 1 counted\n");
    std::vector<std::pair<std::string, std::string>> since2020;
    for (const char *name : {"ancient", "locked", "counted", "cached", "vanished", "tab\there", latin1, noncharacter}) since2020.emplace_back(name, "2020-01-01T00:00:00Z");
    write_file(listFile, trash_list_xml(files, since2020));
    EXPECT_EQ(tool({"purge"}).status, 1);  // without a server nothing is deleted
    EXPECT_TRUE(exists(files + "/ancient"));

    const bool immutable = set_immutable(files + "/locked", true);
    if (!immutable) unlink((files + "/locked").c_str());
    NotificationListener client(bus.address());
    auto running = server("3600");
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    Result previewed = tool({"preview", "--porcelain"});
    EXPECT_EQ(previewed.status, 0);
    std::map<std::string, std::string> due;  // name -> bytes
    for (size_t at = 0, end; (end = previewed.output.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = previewed.output.substr(at, end - at);
        const size_t name = line.find('\t') + 1, bytes = line.find('\t', name) + 1;
        EXPECT_EQ(line.substr(0, name - 1), files);
        due[line.substr(name, bytes - name - 1)] = line.substr(bytes, line.find('\t', bytes) - bytes);
    }
    std::map<std::string, std::string> expected = {{"ancient", "1"}, {"counted", "7"}, {"cached", "12345"}, {"tab\\x09here", "1"},
                                                   {"caf\\xe9", "1"}, {"a\\x5cb\\xef\\xbf\\xbf", "1"}};
    if (immutable) expected["locked"] = "1";
    EXPECT_EQ(due, expected) << previewed.output;

    // list tells the same sizes, dates of purge the cycle has passed, where each item came
    // from and when it was trashed (the info file's local time); an item gone is not listed.
    const std::string listed = tool({"list", "--porcelain"}).output;
    EXPECT_THAT(listed, HasSubstr(files + "\tcounted\t7\t2020-01-01T00:00:00Z\t2020-01-05T00:00:00Z\t-\t-\t-\n"));
    EXPECT_THAT(listed, HasSubstr(files + "\tancient\t1\t2020-01-01T00:00:00Z\t2020-01-05T00:00:00Z\t/home/u/My Docs/ancient\t2020-01-01T00:00:00Z\t-\n"));
    EXPECT_THAT(listed, Not(HasSubstr("vanished")));
    const std::string total = immutable ? "7 items, 12.1 KiB" : "6 items, 12.1 KiB";
    const std::string human = tool({"list"}).output;
    EXPECT_THAT(human, HasSubstr("\n  /home/u/My Docs/ancient\n    1 byte, trashed Wed Jan  1 02:00:00 2020, first seen Wed Jan  1 02:00:00 2020, due now\n"));
    EXPECT_THAT(human, HasSubstr("\n  original location unknown, in the trash as counted\n    7 bytes, trash date unknown, first seen "));
    EXPECT_THAT(human, ::testing::EndsWith("\n  " + total + "\nIn all: " + total + "\n"));
    EXPECT_THAT(tool({"preview"}).output, ::testing::EndsWith("\nIn all: " + total + " freed\n"));

    Result purged = tool({"purge"});
    set_immutable(files + "/locked", false);
    EXPECT_EQ(purged.status, immutable ? 1 : 0) << purged.output;
    EXPECT_THAT(purged.output, HasSubstr("Deleted 6 items:\n"));
    EXPECT_THAT(purged.output, HasSubstr("\nSpace freed: 12.1 KiB\n"));
    for (const char *name : {"ancient", "counted", "cached", "tab\\x09here", "caf\\xe9", "a\\x5cb\\xef\\xbf\\xbf"})
        EXPECT_THAT(purged.output, HasSubstr("  " + files + "/" + name + "\n"));
    const bool toldOfLocked = purged.output.find("Could not delete 1 item:\n  " + files + "/locked (Operation not permitted)\n") != std::string::npos;
    EXPECT_EQ(toldOfLocked, immutable) << purged.output;
    EXPECT_EQ(list_dir(files), immutable ? (std::vector<std::string>{"fresh", "locked"}) : std::vector<std::string>{"fresh"});
    EXPECT_THAT(tool({"purge"}).output, Not(HasSubstr("ancient")));
    EXPECT_THAT(tool({"preview"}).output, HasSubstr("The next cycle runs at "));
    running->signal(SIGTERM);
    EXPECT_EQ(running->wait(60s), 0);
}

// A server that holds its name but does not answer in time (deep in a long secure purge, or
// stuck) is busy, not gone: saying it is not running would invite a second one, and saying
// that nothing was deleted would be a guess.
TEST_F(SettingsToolEndToEnd, AServerThatDoesNotAnswerIsReportedBusy) {
    SilentServer silent(bus.address());
    ASSERT_TRUE(silent.ok());
    expectSaid({
        {{}, 0, "The server is running, busy: it did not answer in time (a long secure purge, say).\n"},
        {{"version"}, 1, "quillon-settings: the server is running, busy: it did not answer in time\n"},
        {{"preview"}, 0, "The server is running, busy: when its next cycle runs is not known. A cycle now would delete:\n"},
        {{"purge"}, 1, "quillon-settings: the server did not answer; what it deleted is not known\n"},
    }, true);
}

TEST_F(SettingsToolEndToEnd, SettingsReachTheRunningServersNextCycle) {
    write_file(files + "/two hours old", "x");
    write_file(listFile, trash_list_xml(files, {{"two hours old", *utcText(CalendarDate::fromUnixTime(std::time(nullptr) - 2 * 3600))}}));
    NotificationListener client(bus.address());
    auto running = server("0.2");
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});

    Result shown = tool({});
    EXPECT_THAT(shown.output, HasSubstr("The server is running (version 1.0.0)."));
    EXPECT_EQ(tool({"version"}).output, "1.0.0\n");
    Result listed = tool({"list"});
    EXPECT_THAT(listed.output, HasSubstr(files + "\n  original location unknown, in the trash as two hours old\n    1 byte, trash date unknown, first seen "));
    EXPECT_THAT(listed.output, HasSubstr(", deleted after "));

    Result hours = tool({"set", "period", "hours"});
    EXPECT_EQ(hours.status, 0);
    EXPECT_EQ(hours.output, "Delete items 4 hours after they were first seen, plainly.\nA desktop notice tells of each purge.\n");
    EXPECT_THAT(read_file(domainFile), HasSubstr("<key>period</key>\n\t<integer>0</integer>"));
    EXPECT_TRUE(exists(files + "/two hours old"));  // four hours have not passed

    EXPECT_EQ(tool({"set", "count", "1"}).output.rfind("Delete items 1 hour after they were first seen, plainly.\n", 0), 0u);
    EXPECT_TRUE(eventually([&] { return !exists(files + "/two hours old"); }, 120s));

    EXPECT_EQ(tool({"set", "secure", "on"}).output.rfind("Delete items 1 hour after they were first seen, securely.\n", 0), 0u);
    Result quit = tool({"quit"});
    EXPECT_EQ(quit.status, 0);
    EXPECT_EQ(running->wait(60s), 0);
    EXPECT_EQ(tool({"list"}).output, files + "\nThe server remembers no items.\n");
}

// keep asks the running server, which sets the dates on its records and saves them: kept items
// are due no more, list shows until when.
TEST_F(SettingsToolEndToEnd, KeepAsksTheRunningServer) {
    make_tree(files, {"old=x", "older=x"});
    write_file(listFile, trash_list_xml(files, {{"old", "2020-01-01T00:00:00Z"}, {"older", "2019-01-01T00:00:00Z"}}));
    NotificationListener client(bus.address());
    auto running = server("3600");
    ASSERT_EQ(client.waitFor(1, 60s), std::vector<std::string>{"server launched"});
    // The day two weeks ahead, before and after the keep (they differ only across a midnight).
    auto twoWeeks = [] { return "<date>" + utcText(CalendarDate::fromUnixTime(std::time(nullptr) + 14 * 86400))->substr(0, 10); };
    const std::string before = twoWeeks();
    expectSaid({
        {{"keep", "old"}, 0, "Kept 1 item until about "},
        {{"keep", "gone"}, 1, "quillon-settings: the server remembers no item of that name"},
        {{"keep", "--due-within", "1d", "--for", "2w"}, 0, "Kept 1 item until about "},  // "old" is no longer due
        {{"purge"}, 0, "Nothing was due.\n"},
        {{"preview"}, 0, "Kept until "},
    }, true);
    EXPECT_THAT(read_file(listFile), ::testing::AnyOf(HasSubstr("<key>keepUntil</key>\n\t\t\t\t" + before),
                                                      HasSubstr("<key>keepUntil</key>\n\t\t\t\t" + twoWeeks())));
    EXPECT_THAT(tool({"list", "--porcelain"}).output, ::testing::Not(HasSubstr("\t-\n")));  // both kept
    EXPECT_EQ(list_dir(files), (std::vector<std::string>{"old", "older"}));
}

// A volume's items, looked at in a child, come back with their info files' facts; a relative
// Path there is relative to the volume's top. volumes tells its trash's size and the choice
// that set volume, given any path on it, makes.
TEST_F(SettingsToolEndToEnd, AVolumesItemsComeFromPlacesOnIt) {
    QUILLON_SKIP_IF(private_mounts());
    QUILLON_SKIP_IF(mount_for_test("tmpfs", home / "vol", "tmpfs"));
    const std::string name = ".Trash-" + std::to_string(getuid()), trash = home / ("vol/" + name);
    make_tree(home / "vol", {name + "/", name + "/files/", name + "/files/doc=abc", name + "/info/",
                             name + "/info/doc.trashinfo=[Trash Info]\nPath=My%20Doc\nDeletionDate=2020-01-01T02:00:00\n"});
    chmod(trash.c_str(), 0700);
    make_dir(home / ".config");
    write_file(listFile, trash_list_xml(files, {}, trash + "/files", {{"doc", "2020-01-01T00:00:00Z"}}));
    EXPECT_EQ(tool({"list", "--porcelain"}).output, trash + "/files\tdoc\t3\t2020-01-01T00:00:00Z\t2020-01-05T00:00:00Z\t" +
                                                        home / "vol/My Doc" + "\t2020-01-01T00:00:00Z\t-\n");
    const std::string row = trash + "/files\t" + home / "vol" + "\tmount:" + home / "vol" + "\t3\t1\t";
    auto volumeRow = [&] {
        const std::string out = tool({"volumes", "--porcelain"}).output;
        const size_t at = out.find(row);
        return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
    };
    EXPECT_THAT(volumeRow(), ::testing::EndsWith("\ton"));
    EXPECT_EQ(tool({"set", "volume", trash, "off"}).output, "The trash on " + home / "vol" + " is left alone.\n");
    EXPECT_THAT(volumeRow(), ::testing::EndsWith("\toff"));
    EXPECT_THAT(tool({"volumes"}).output, HasSubstr(trash + "/files\n  on " + home / "vol" + " (mount:" + home / "vol" + "): 1 item, 3 bytes, "));
}

// A remembered trash on a volume that stopped answering costs the look at it, not the answer:
// list and preview say so, go on with the others, and end, even while a look-up there is
// already stuck in the kernel (its directory lock would hold the tool's own for good).
TEST_F(SettingsToolEndToEnd, AVolumeThatDoesNotAnswerIsSaidNotWaitedFor) {
    QUILLON_SKIP_IF(private_mounts());
    StalledFuse stalled(home / "stall");
    if (!stalled.why().empty()) GTEST_SKIP() << stalled.why();
    const std::string other = home / "stall/.Trash-0/files";
    write_file(files + "/old", "12345");
    make_dir(home / ".config");
    write_file(listFile, trash_list_xml(files, {{"old", "2020-01-01T00:00:00Z"}}, other, {{"far", "2020-01-01T00:00:00Z"}}));
    // In a child holding nothing of ours: a thread of this process stuck there would keep it
    // from ending, and with it the FUSE connection that would free it.
    if (fork() == 0) {
        close_range(3, ~0U, 0);
        struct stat st;
        _exit(stat(other.c_str(), &st));  // returns when the volume goes, at the test's end
    }
    stalled.waitForRequests(1);
    for (const char *command : {"preview", "list"}) {
        SCOPED_TRACE(command);
        Result result = tool({command});
        EXPECT_EQ(result.status, 0);
        EXPECT_THAT(result.output, HasSubstr(files + "\n  original location unknown, in the trash as old"));
        EXPECT_THAT(result.output, HasSubstr(other + "\n  this volume does not answer: its items cannot be looked at\n"));
    }
}

}  // namespace
}  // namespace quillon
