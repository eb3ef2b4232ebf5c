#include "settings/settings_tool.h"

#include <time.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <optional>

#include "base/localization.h"
#include "base/log.h"
#include "base/size_text.h"
#include "bus/notification_center.h"
#include "bus/session_bus.h"
#include "client/purge_preview.h"
#include "client/server_client.h"
#include "client/service_control.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "policy/purge_policy.h"
#include "preferences/preferences.h"
#include "preferences/user_defaults.h"
#include "trash/item_sizes.h"
#include "trash/trash_bookkeeping.h"
#include "trash/trash_list_file.h"

namespace quillon {

namespace {

std::string tr(const char *text) { return localizedString(text); }

std::string helpText() {
    return tr("Usage: quillon-settings [COMMAND]\n"
              "Shows and changes when Quillon empties your trash.\n"
              "\n"
              "  show                  the current settings, whether the server is on and whether it runs\n"
              "                        (the default)\n"
              "  enable                turn automatic emptying on: start the server now and at every login\n"
              "  disable               turn it off: stop the server, and do not start it at login\n"
              "  set period [N] P      the unit of the period: hours, days, weeks or months; with N, the count too\n"
              "  set count N           how many of them an item stays in the trash\n"
              "  set secure on|off     overwrite items before deleting them, or delete them plainly\n"
              "  set notify on|off     a desktop notice after each cycle that deleted something, or none\n"
              "                        (yes/no, true/false and 1/0 also do)\n"
              "  list [--porcelain]    every item in the trash: where it came from, its size, when it was\n"
              "                        trashed, when Quillon first saw it, when it goes\n"
              "  preview [--porcelain] what the server's next cycle deletes, and the space it frees\n"
              "  purge                 ask the running server to delete what is due now, and the space freed\n"
              "  version               the running server's version\n"
              "  quit                  ask the running server to quit\n"
              "  --help                this text\n"
              "  --version             the version of this tool\n"
              "\n"
              "With --porcelain, list and preview print one item a line, fields separated by tabs:\n"
              "list: trash folder, name, bytes, first seen, deleted after, original location, trash date;\n"
              "preview: trash folder, name, bytes, the cycle's time, original location, trash date.\n"
              "Times are UTC (2027-03-01T00:00:00Z); \"-\" stands for unknown.\n"
              "\n"
              "The period counts from when Quillon first saw an item, not from when it was trashed.\n"
              "\n"
              "Secure deletion overwrites the data of each file once with random bytes, flushes it to\n"
              "the disk, then removes it. It cannot reach copies the storage keeps elsewhere: file\n"
              "systems that journal data (ext4 with data=journal) or copy on write (btrfs, ZFS),\n"
              "small files kept inline in their inode, snapshots and backups, network volumes, and\n"
              "SSDs and flash drives, which remap blocks. File names may stay readable in directory\n"
              "blocks. Where that matters, use full-disk encryption.\n"
              "\n"
              "Exit status: 0 done, 1 failed, 2 bad arguments.\n");
}

// A usage error: what is wrong, and where to read more; nothing was done.
int usage(std::ostream &err, const std::string &problem) {
    err << "quillon-settings: " << problem << "\n"
        << tr("Try 'quillon-settings --help' for more information.") << "\n";
    return 2;
}

int fail(std::ostream &err, const std::string &problem) {
    err << "quillon-settings: " << problem << "\n";
    return 1;
}

// The unit's name as the sentences show it: "days", "Tage", "jours" (the panel's list shows
// the capitalized titles).
std::string unitName(int period, bool plural) { return Preferences::unitWord(period, plural); }
std::string unitName(Preferences &preferences, int period) { return unitName(period, preferences.units() != 0); }

// A moment for scripts: UTC, to the second.
std::string isoText(const std::optional<CalendarDate> &date) {
    if (!date) return "-";
    const time_t t = static_cast<time_t>(date->unixSeconds());
    struct tm utc;
    char text[32];
    if (!gmtime_r(&t, &utc) || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) return "-";
    return text;
}

// One field of a porcelain line: tabs and line ends never appear raw, and names read from the
// list file are in the form the server sends on the bus.
std::string field(const std::string &text) { return escapedText(text); }

void describe(Preferences &preferences, std::ostream &out) {
    const int period = preferences.period(), units = preferences.units();
    if (Preferences::largestCount(period) == 0 || units < 0) {
        out << formatted(tr("The stored settings name no purge period (period %d, units %d): nothing is purged until "
                            "they are set again."),
                         period, units)
            << "\n";
        return;
    }
    const std::string count = std::to_string(static_cast<int64_t>(units) + 1), unit = unitName(preferences, period);
    out << formatted(preferences.isSecure() ? tr("Delete items %s %s after they were first seen, securely.")
                                            : tr("Delete items %s %s after they were first seen, plainly."),
                     count.c_str(), unit.c_str())
        << "\n"
        << (preferences.isNotifying() ? tr("A desktop notice tells of each purge.") : tr("No desktop notice tells of purges."))
        << "\n";
}

std::optional<int> parsePeriod(std::string word) {
    for (char &c : word) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const char *names[] = {"hours", "days", "weeks", "months"};
    for (int i = 0; i < 4; i++)
        if (word == names[i] || word + "s" == names[i]) return i;
    return std::nullopt;
}

std::optional<int> parseCount(const std::string &word) {
    if (word.empty() || word.size() > 4) return std::nullopt;
    for (char c : word)
        if (!isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    return std::stoi(word);
}

int save(Preferences &preferences, std::ostream &out, std::ostream &err) {
    // Without a bus the change cannot be announced: say what that means here, in place of
    // the notification center's own line.
    const bool noBus = !SessionBus::shared();
    if (noBus) DistributedNotificationCenter::defaultCenter().setReportsMissingBus(false);
    if (!ensureFolder(Environment::current().preferencesFolder()) || !preferences.synchronize())
        return fail(err, tr("the settings could not be saved"));
    describe(preferences, out);
    if (noBus)
        err << "quillon-settings: " << tr("the settings are saved; the running server could not be told (no session bus)")
            << "\n";
    return 0;
}

// Why the stored settings must not be rewritten, or empty: a file that cannot be read whole,
// or holds values that cannot be read, would lose them.
std::string unsafeToRewrite() {
    UserDefaults &defaults = UserDefaults::standardUserDefaults();
    const std::string path = UserDefaults::pathForDomain(Preferences::kDomainName);
    if (defaults.isDamaged(Preferences::kDomainName))
        return formatted(tr("the settings file %s cannot be read"), path.c_str());
    const auto unreadable = defaults.unreadableKeys(Preferences::kDomainName);
    if (!unreadable.empty())
        return formatted(tr("the setting \"%s\" in %s cannot be read"), unreadable[0].c_str(), path.c_str());
    return "";
}

// "on", "yes", "true", "1" and their opposites, in any case.
std::optional<bool> parseSwitch(std::string word) {
    for (char &c : word) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (word == "on" || word == "yes" || word == "true" || word == "1") return true;
    if (word == "off" || word == "no" || word == "false" || word == "0") return false;
    return std::nullopt;
}

int set(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    // "set period 12 months" sets the count and the unit at once; every other setting takes
    // one value.
    if (args.size() != 3 && !(args.size() == 4 && args[1] == "period"))
        return usage(err, tr("set takes a setting and a value"));
    const std::string &what = args[1], &value = args.back();
    // Everything is checked before anything is changed: a refused command writes nothing.
    std::optional<int> period, count;
    std::optional<bool> on;
    if (what == "period") {
        period = parsePeriod(value);
        if (!period)
            return usage(err, formatted(tr("the period must be hours, days, weeks or months, not \"%s\""), value.c_str()));
        if (args.size() == 4) count = parseCount(args[2]);
    } else if (what == "count") {
        count = parseCount(value);
    } else if (what == "secure" || what == "notify") {
        on = parseSwitch(value);
        if (!on) return usage(err, formatted(tr("%s must be on or off, not \"%s\""), what.c_str(), value.c_str()));
    } else {
        return usage(err, formatted(tr("there is no setting \"%s\""), what.c_str()));
    }
    if (const std::string why = unsafeToRewrite(); !why.empty()) {
        const std::string path = UserDefaults::pathForDomain(Preferences::kDomainName);
        err << "quillon-settings: " << why << tr("; nothing was changed. To start afresh with the defaults, move it away:")
            << "\n  mv " << path << " " << path << ".broken\n";
        return 1;
    }
    auto preferences = Preferences::preferences();
    const std::string countWord = what == "count" ? value : args[2];
    if (period) preferences->setPeriod(*period);
    const int unit = preferences->period(), largest = Preferences::largestCount(unit);
    if ((what == "count" || args.size() == 4) && largest == 0) {
        preferences->discardChanges();
        return usage(err, tr("set the period first: the stored one names no unit"));
    }
    if ((what == "count" || args.size() == 4) && (!count || *count < 1)) {
        preferences->discardChanges();
        std::string allowed;
        for (int c = 1; c <= largest; c++) allowed += (c > 1 ? ", " : "") + std::to_string(c);
        return usage(err, formatted(tr("the count for %s must be one of %s, not \"%s\""), unitName(unit, true).c_str(),
                                    allowed.c_str(), countWord.c_str()));
    }
    // The count asked for, or the one kept across a change of unit, pulled into the unit's
    // range -- and said, so that no one believes in a period they did not get.
    const int wanted = count ? *count : preferences->units() + 1;
    if (count) preferences->setUnits(std::min(*count, largest) - 1);
    if (period) (void)preferences->unitsList();  // a count beyond the new unit's largest is pulled back
    if (on && what == "notify") preferences->setNotifying(*on);
    if (on && what == "secure") preferences->setSecure(*on);
    if (largest > 0 && wanted > largest)
        out << Preferences::pulledCountText(wanted, unit) << "\n";
    return save(*preferences, out, err);
}

std::string busyText() { return tr("the server is running, busy: it did not answer in time"); }
std::string noBusText() { return tr("cannot reach the server: there is no session bus (run this in your desktop session)"); }
std::string notRunningText() {
    return tr("the server is not running; start it with 'quillon-settings enable' or 'systemctl --user start quillon-server'");
}

int show(std::ostream &out) {
    auto preferences = Preferences::preferences();
    describe(*preferences, out);
    preferences->discardChanges();  // showing changes nothing
    if (!SessionBus::shared()) {
        out << tr("Cannot tell whether the server is on or runs: there is no session bus.") << "\n";
        return 0;
    }
    const auto enabled = serverEnabled();
    out << (!enabled   ? tr("Cannot tell whether the server starts at login: no systemd user manager answers.")
            : *enabled ? tr("Automatic emptying is on: the server starts at every login.")
                       : tr("Automatic emptying is off; turn it on with 'quillon-settings enable'."))
        << "\n";
    ServerState state;
    if (auto version = ServerClient::versionString(&state))
        out << formatted(tr("The server is running (version %s)."), version->c_str()) << "\n";
    else if (state == ServerState::kBusy)
        out << tr("The server is running, busy: it did not answer in time (a long secure purge, say).") << "\n";
    else
        out << tr("The server is not running.") << "\n";
    return 0;
}

// What the server remembers, read without changing it; a damaged file is said on `err`.
std::optional<FolderList> remembered(std::ostream &err) {
    std::string error;
    auto folders = rememberedFolders(&error);
    if (!folders)
        (void)fail(err, formatted(tr("the trash list file %s is damaged (%s); the server replaces it at its next cycle"),
                                  trashListFilePath().c_str(), error.c_str()));
    return folders;
}

// The stored period as (unit index, count index), read without changing anything.
std::pair<int, int> storedPeriod() {
    auto preferences = Preferences::preferences();
    const std::pair<int, int> period{preferences->period(), preferences->units()};
    preferences->discardChanges();
    return period;
}

std::string sizeOrUnknown(const std::optional<uint64_t> &bytes) { return bytes ? sizeText(*bytes) : tr("size unknown"); }
std::string bytesField(const std::optional<uint64_t> &bytes) { return bytes ? std::to_string(*bytes) : "-"; }

// Where an item came from, as its info file tells; empty when that is not known.
std::string originFrom(const std::string &files, const std::optional<TrashInfo> &info) {
    return info ? originalLocation(files, *info) : "";
}
std::optional<CalendarDate> trashedAt(const std::optional<TrashInfo> &info) {
    const auto seconds = info ? deletionTime(*info) : std::nullopt;
    if (!seconds) return std::nullopt;
    return CalendarDate::fromUnixTime(*seconds);
}
// The line that names an item: where it came from, or its name in the trash when that is not
// known.
std::string itemTitle(const std::string &name, const std::string &origin) {
    return origin.empty() ? formatted(tr("original location unknown, in the trash as %s"), escapedText(name).c_str())
                          : escapedText(origin);
}

// A count of items and their size, "at least" where some sizes are not known.
struct Tally {
    size_t items = 0;
    uint64_t bytes = 0;
    bool someUnknown = false;
    void add(const std::optional<uint64_t> &size) {
        items++;
        bytes += size.value_or(0);
        someUnknown = someUnknown || !size;
    }
    void add(const Tally &other) {
        items += other.items;
        bytes += other.bytes;
        someUnknown = someUnknown || other.someUnknown;
    }
    std::string text() const {
        return formatted(someUnknown ? localizedPlural("%zu item, at least %s", "%zu items, at least %s", items)
                                     : localizedPlural("%zu item, %s", "%zu items, %s", items),
                         items, sizeText(bytes).c_str());
    }
};

int list(bool porcelain, std::ostream &out, std::ostream &err) {
    const auto folders = remembered(err);
    if (!folders) return 1;
    const auto [period, units] = storedPeriod();
    const CalendarDate now = Environment::current().now();
    Tally all;
    for (const auto &folder : *folders) {
        std::vector<std::string> names;
        for (const auto &file : *folder->files()) names.push_back(file->path());
        const auto facts = lookAtItems(folder->path(), names);
        if (!porcelain) out << escapedText(folder->path()) << "\n";
        if (!porcelain && !facts) out << "  " << notAnsweringText() << "\n";
        Tally here;
        for (const auto &file : *folder->files()) {
            const ItemFacts none;
            const ItemFacts &fact = facts ? facts->at(file->path()) : none;
            if (facts && !fact.present) continue;  // gone from the trash since the server's last look
            here.add(fact.bytes);
            const auto &seen = file->trashDate();
            const auto due = seen ? dueDate(*seen, period, units) : std::nullopt;
            const std::string origin = originFrom(folder->path(), fact.info);
            const auto trashed = trashedAt(fact.info);
            if (porcelain) {
                out << field(folder->path()) << "\t" << field(file->path()) << "\t" << bytesField(fact.bytes) << "\t"
                    << isoText(seen) << "\t" << isoText(due) << "\t" << (origin.empty() ? "-" : field(origin)) << "\t"
                    << isoText(trashed) << "\n";
                continue;
            }
            out << "  " << itemTitle(file->path(), origin) << "\n    " << sizeOrUnknown(fact.bytes) << ", "
                << (trashed ? formatted(tr("trashed %s"), localizedDate(*trashed).c_str()) : tr("trash date unknown")) << ", ";
            if (!seen) out << tr("not yet dated (at the next cycle)");
            else out << formatted(tr("first seen %s"), localizedDate(*seen).c_str());
            if (due && *due <= now) out << ", " << tr("due now");
            else if (due) out << ", " << formatted(tr("deleted after %s"), localizedDate(*due).c_str());
            out << "\n";
        }
        if (!porcelain && facts && here.items > 0) out << "  " << here.text() << "\n";
        all.add(here);
    }
    if (!porcelain && all.items == 0)
        out << (folders->empty() ? tr("The server remembers no items yet.") : tr("The server remembers no items.")) << "\n";
    else if (!porcelain) out << formatted(tr("In all: %s"), all.text().c_str()) << "\n";
    return 0;
}

// The items the next cycle deletes: those remembered since before its cut-off and still in
// the trash. The cycle is the running server's next one, or, without a server, one run now.
int preview(bool porcelain, std::ostream &out, std::ostream &err) {
    const auto folders = remembered(err);
    if (!folders) return 1;
    const auto [period, units] = storedPeriod();
    ServerState state;
    const auto next = ServerClient::nextCycleDate(&state);
    const CalendarDate cycle = next.value_or(Environment::current().now());
    if (!porcelain) {
        if (next) out << formatted(tr("The next cycle runs at %s."), localizedDate(cycle).c_str()) << "\n";
        else if (!SessionBus::shared())
            out << tr("Cannot tell whether the server runs: there is no session bus. A cycle now would delete:") << "\n";
        else out << previewWithoutCycleText(state) << "\n";
    }
    const auto due = previewCycle(*folders, cycle, period, units);
    PreviewFolder all;
    for (const auto &folder : due) {
        if (!porcelain) out << escapedText(folder.folder) << "\n";
        if (!porcelain && folder.notAnswering) out << "  " << notAnsweringText() << "\n";
        for (const auto &item : folder.items) {
            const std::string origin = originFrom(folder.folder, item.info);
            if (porcelain)
                out << field(folder.folder) << "\t" << field(item.name) << "\t" << bytesField(item.bytes) << "\t"
                    << isoText(cycle) << "\t" << (origin.empty() ? "-" : field(origin)) << "\t"
                    << isoText(trashedAt(item.info)) << "\n";
            else
                out << "  " << itemTitle(item.name, origin) << " (" << sizeOrUnknown(item.bytes) << ")\n";
            all.items.push_back(item);
        }
        all.bytes += folder.bytes;
        all.someUnknown = all.someUnknown || folder.someUnknown;
        if (!porcelain && !folder.notAnswering) out << "  " << freedText(folder) << "\n";
    }
    if (!porcelain && due.empty()) out << tr("Nothing is due.") << "\n";
    else if (!porcelain && !all.items.empty()) out << formatted(tr("In all: %s"), freedText(all).c_str()) << "\n";
    return 0;
}

int purge(std::ostream &out, std::ostream &err) {
    // The tool never deletes anything itself: the server does, with its own records.
    if (!SessionBus::shared()) return fail(err, noBusText());
    // The sizes of what is due, measured before the server deletes it: the space a deleted
    // item freed is what it held just before. An item the server deletes that was not due yet
    // here (its clock a little ahead) has no size known.
    std::map<std::string, std::optional<uint64_t>> sizes;  // by path, as the server sends it
    {
        std::string error;
        const auto [period, units] = storedPeriod();
        if (const auto folders = rememberedFolders(&error))
            for (const auto &folder : previewCycle(*folders, Environment::current().now(), period, units))
                for (const auto &item : folder.items) sizes[escapedText(folder.folder + "/" + item.name)] = item.bytes;
    }
    ServerState state;
    auto result = ServerClient::purgeNow(&state);
    // Only a server that was not there is known to have deleted nothing.
    if (!result)
        return fail(err, state == ServerState::kNotRunning
                             ? tr("the server is not running; nothing was deleted. Start it with 'quillon-settings enable' or "
                                  "'systemctl --user start quillon-server'")
                             : tr("the server did not answer; what it deleted is not known"));
    if (result->deleted.empty() && result->failed.empty()) out << tr("Nothing was due.") << "\n";
    if (!result->deleted.empty())
        out << formatted(localizedPlural("Deleted %zu item:", "Deleted %zu items:", result->deleted.size()),
                         result->deleted.size())
            << "\n";
    // The server sends each path in the escaped form already: printed as it came.
    Tally freed;
    for (const auto &path : result->deleted) {
        out << "  " << path << "\n";
        const auto size = sizes.find(path);
        freed.add(size == sizes.end() ? std::nullopt : size->second);
    }
    if (!result->deleted.empty())
        out << formatted(freed.someUnknown ? tr("Space freed: at least %s") : tr("Space freed: %s"), sizeText(freed.bytes).c_str())
            << "\n";
    // Each item that stays with its reason: the tool cannot tell whether the server's log
    // reaches a journal, so it points to none.
    if (!result->failed.empty())
        err << formatted(localizedPlural("Could not delete %zu item:", "Could not delete %zu items:", result->failed.size()),
                         result->failed.size())
            << "\n";
    for (size_t i = 0; i < result->failed.size(); i++)
        err << "  " << formatted(tr("%s (%s)"), result->failed[i].c_str(), result->reasons[i].c_str()) << "\n";
    return result->failed.empty() ? 0 : 1;
}

}  // namespace

int runSettingsTool(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    if (args.empty() || (args.size() == 1 && args[0] == "show")) return show(out);
    const std::string &command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out << helpText();
        return 0;
    }
    if (command == "--version") {
        out << "quillon-settings " << QUILLON_VERSION << "\n";
        return 0;
    }
    if (command == "set") return set(args, out, err);
    if ((command == "list" || command == "preview") && args.size() <= 2) {
        const bool porcelain = args.size() == 2;
        if (porcelain && args[1] != "--porcelain")
            return usage(err, formatted(tr("unknown option \"%s\" for %s"), args[1].c_str(), command.c_str()));
        return command == "list" ? list(porcelain, out, err) : preview(porcelain, out, err);
    }
    if (args.size() != 1) return usage(err, formatted(tr("\"%s\" takes no arguments"), command.c_str()));
    if (command == "purge") return purge(out, err);
    if (command == "enable" || command == "disable") {
        std::string why;
        if (!(command == "enable" ? enableServer(why) : disableServer(why))) return fail(err, why);
        out << (command == "enable" ? tr("Automatic emptying is on: the server runs now and starts at every login.")
                                    : tr("Automatic emptying is off: the server is stopped and does not start at login."))
            << "\n";
        return 0;
    }
    if ((command == "version" || command == "quit") && !SessionBus::shared()) return fail(err, noBusText());
    if (command == "version") {
        ServerState state;
        auto version = ServerClient::versionString(&state);
        if (!version) return fail(err, state == ServerState::kBusy ? busyText() : notRunningText());
        out << *version << "\n";
        return 0;
    }
    if (command == "quit") {
        if (!ServerClient::quit())
            return fail(err, tr("the server is not running; 'quillon-settings disable' keeps it from starting at login"));
        out << tr("Asked the server to quit.") << "\n";
        return 0;
    }
    return usage(err, formatted(tr("unknown command \"%s\""), command.c_str()));
}

}  // namespace quillon
