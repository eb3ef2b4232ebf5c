#include "settings/settings_tool.h"

#include <time.h>

#include <cctype>
#include <cerrno>
#include <limits>
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
#include "client/trash_volumes.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "policy/purge_policy.h"
#include "preferences/preferences.h"
#include "preferences/user_defaults.h"
#include "trash/deletion_history.h"
#include "trash/item_sizes.h"
#include "trash/trash_bookkeeping.h"
#include "trash/trash_list_file.h"

namespace quillon {

namespace {

using Args = std::vector<std::string>;

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
              "  set volume PATH on|off  purge the trash on the volume holding PATH by these rules, or\n"
              "                        leave it alone: never looked at, nothing deleted, nothing remembered\n"
              "  set limit N%|off      the most a trash folder may hold, as a share of its volume\n"
              "  set keep-free N%|off  the share of each volume to keep free\n"
              "  set minimum-age TIME  how long an item stays at least, whatever the limits (30m, 12h, 1d, 2w)\n"
              "  list [--porcelain]    every item in the trash: where it came from, its size, when it was\n"
              "                        trashed, when Quillon first saw it, when it goes\n"
              "  preview [--porcelain] what the server's next cycle deletes, and the space it frees\n"
              "  volumes [--porcelain] each volume with a trash of yours: its trash's size, its free space,\n"
              "                        whether it is purged or left alone\n"
              "  purge                 ask the running server to delete what is due now, and the space freed\n"
              "  history [--since DATE] [--porcelain]\n"
              "                        what the server deleted, newest last; DATE is YYYY-MM-DD or a time\n"
              "                        back from now: 12h, 7d, 4w\n"
              "  keep NAME|--due-within DURATION [--for DURATION]\n"
              "                        ask the running server to keep the items of that name, or those due\n"
              "                        within DURATION, past their due date (for a week unless --for says;\n"
              "                        DURATION like 30m, 12h, 3d, 2w)\n"
              "  version               the running server's version\n"
              "  quit                  ask the running server to quit\n"
              "  --help                this text\n"
              "  --version             the version of this tool\n"
              "\n"
              "With --porcelain, list, preview, history and volumes print one entry a line, fields separated\n"
              "by tabs:\n"
              "list: trash folder, name, bytes, first seen, deleted after, original location, trash date,\n"
              "kept until;\n"
              "preview: trash folder, name, bytes, the cycle's time, original location, trash date, why\n"
              "(age, limit, free or limit+free);\n"
              "history: time, why (age, limit, purge-now), plain or secure, items, bytes, trash folder,\n"
              "name, original location (a secure deletion names no item unless historyNames is set);\n"
              "volumes: trash folder, mount point, volume id, bytes, items, free bytes, on or off.\n"
              "Times are UTC (2027-03-01T00:00:00Z); \"-\" stands for unknown.\n"
              "\n"
              "The period counts from when Quillon first saw an item, not from when it was trashed.\n"
              "When a trash folder holds more than its limit, or its volume has less free space than\n"
              "it should keep, its oldest items go first, until within them.\n"
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

// A moment for scripts: UTC, to the second.
std::string isoText(const std::optional<CalendarDate> &date) { return date ? utcText(*date).value_or("-") : "-"; }

// One field of a porcelain line: tabs and line ends never appear raw, and names read from the
// list file are in the form the server sends on the bus.
std::string field(const std::string &text) { return escapedText(text); }

// One row of what a list-like command found: its line (or lines) for people, and for an item
// its fields for scripts.
struct Row {
    std::string text;
    std::vector<std::string> fields = {};  // each already a field; none for a row that is no item
};
using Rows = std::vector<Row>;

void printHuman(const Rows &rows, std::ostream &out) {
    for (const Row &row : rows) out << row.text << "\n";
}

// One item a line, fields separated by tabs; the other rows are for people only.
void printPorcelain(const Rows &rows, std::ostream &out) {
    for (const Row &row : rows)
        for (size_t i = 0; i < row.fields.size(); i++) out << row.fields[i] << (i + 1 < row.fields.size() ? "\t" : "\n");
}

// "2w", "1d", "12h", "30m" or "45s": the largest unit that counts `seconds` whole.
std::string durationText(int64_t seconds) {
    for (const auto &[unit, size] : {std::pair{'w', 604800}, {'d', 86400}, {'h', 3600}, {'m', 60}})
        if (seconds != 0 && seconds % size == 0) return std::to_string(seconds / size) + unit;
    return std::to_string(seconds) + "s";
}

// A count and a unit of s, m, h, d or w ("12h"): seconds; nullopt for anything else.
std::optional<int64_t> parseDuration(const std::string &word) {
    static const std::map<char, int64_t> units = {{'s', 1}, {'m', 60}, {'h', 3600}, {'d', 86400}, {'w', 604800}};
    if (word.size() < 2 || word.size() > 6 || !units.count(word.back())) return std::nullopt;
    for (size_t i = 0; i + 1 < word.size(); i++)
        if (!isdigit(static_cast<unsigned char>(word[i]))) return std::nullopt;
    return std::stoll(word.substr(0, word.size() - 1)) * units.at(word.back());
}

// "10%" or "10" up to 100, or "off" (0).
std::optional<int> parsePercent(std::string word) {
    if (word == "off") return 0;
    if (!word.empty() && word.back() == '%') word.pop_back();
    if (word.empty() || word.size() > 3) return std::nullopt;
    for (char c : word)
        if (!isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    const int percent = std::stoi(word);
    return percent <= 100 ? std::optional<int>(percent) : std::nullopt;
}

// The space limits, when one is on.
std::string limitsText(const PreferencesSnapshot &stored) {
    std::string text;
    if (stored.trashLimit != 0) text += formatted(tr("A trash folder may hold at most %d%% of its volume. "), stored.trashLimit);
    if (stored.keepFree != 0) text += formatted(tr("At least %d%% of each volume is kept free. "), stored.keepFree);
    return text + formatted(tr("Neither limit deletes an item first seen less than %s ago."), durationText(stored.minimumAge).c_str());
}

Rows describe(const PreferencesSnapshot &stored) {
    if (Preferences::largestCount(stored.period) == 0 || stored.units < 0)
        return {{formatted(tr("The stored settings name no purge period (period %d, units %d): nothing is purged until "
                              "they are set again."),
                           stored.period, stored.units)}};
    const std::string count = std::to_string(static_cast<int64_t>(stored.units) + 1),
                      unit = Preferences::unitWord(stored.period, stored.units != 0);
    Rows rows{{formatted(stored.secure ? tr("Delete items %s %s after they were first seen, securely.")
                                     : tr("Delete items %s %s after they were first seen, plainly."),
                       count.c_str(), unit.c_str())},
            {stored.notifying ? tr("A desktop notice tells of each purge.") : tr("No desktop notice tells of purges.")}};
    if (stored.trashLimit != 0 || stored.keepFree != 0) rows.push_back({limitsText(stored)});
    return rows;
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

int setVolume(const Args &args, std::ostream &out, std::ostream &err);
bool safeToRewrite(std::ostream &err);

int set(const Args &args, std::ostream &out, std::ostream &err) {
    if (args.size() == 4 && args[1] == "volume") return setVolume(args, out, err);
    // "set period 12 months" sets the count and the unit at once; every other setting takes
    // one value.
    if (args.size() != 3 && !(args.size() == 4 && args[1] == "period"))
        return usage(err, tr("set takes a setting and a value"));
    const std::string &what = args[1], &value = args.back();
    // Everything is checked before anything is saved: a refused command writes nothing.
    std::optional<int> period, count;
    std::optional<bool> on;
    std::optional<int> percent;
    std::optional<int64_t> age;
    if (what == "limit" || what == "keep-free") {
        percent = parsePercent(value);
        if (!percent)
            return usage(err, formatted(tr("%s must be a share from 0%% to 100%% or off, not \"%s\""), what.c_str(), value.c_str()));
    } else if (what == "minimum-age") {
        age = parseDuration(value);
        if (!age) return usage(err, formatted(tr("the minimum age must be a time such as 12h, 1d or 2w, not \"%s\""), value.c_str()));
    } else if (what == "period") {
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
    if (!safeToRewrite(err)) return 1;
    Preferences preferences;  // what is not synchronized goes with it, unwritten
    const std::string countWord = what == "count" ? value : args[2];
    const bool counted = what == "count" || args.size() == 4;
    if (period) preferences.setPeriod(*period);
    const int unit = preferences.period(), largest = Preferences::largestCount(unit);
    if (counted && largest == 0) return usage(err, tr("set the period first: the stored one names no unit"));
    if (counted && (!count || *count < 1)) {
        std::string allowed;
        for (int c = 1; c <= largest; c++) allowed += (c > 1 ? ", " : "") + std::to_string(c);
        return usage(err, formatted(tr("the count for %s must be one of %s, not \"%s\""), Preferences::unitWord(unit, true).c_str(),
                                    allowed.c_str(), countWord.c_str()));
    }
    // The count asked for, or the one stored, pulled into the unit's range -- and said, so
    // that no one believes in a period they did not get.
    const int wanted = count ? *count : preferences.units() + 1;
    if (count) preferences.setUnits(std::min(*count, largest) - 1);
    preferences.pullCountIntoRange();
    if (on && what == "notify") preferences.setNotifying(*on);
    if (on && what == "secure") preferences.setSecure(*on);
    if (percent && what == "limit") preferences.setTrashLimit(*percent);
    if (percent && what == "keep-free") preferences.setKeepFree(*percent);
    if (age) preferences.setMinimumAge(*age);
    if (largest > 0 && wanted > largest) out << Preferences::pulledCountText(wanted, unit) << "\n";
    if (!ensureFolder(Environment::current().preferencesFolder()) || !preferences.synchronize())
        return fail(err, tr("the settings could not be saved"));
    printHuman(describe(preferences.snapshot()), out);
    return 0;
}

// What the stored settings would lose, said with the way out; true when there is nothing.
bool safeToRewrite(std::ostream &err) {
    const std::string why = unsafeToRewrite();
    if (why.empty()) return true;
    const std::string path = UserDefaults::pathForDomain(Preferences::kDomainName);
    err << "quillon-settings: " << why << tr("; nothing was changed. To start afresh with the defaults, move it away:")
        << "\n  mv " << path << " " << path << ".broken\n";
    return false;
}

// set volume PATH on|off: the choice is kept by the volume's id, so it follows the volume.
int setVolume(const Args &args, std::ostream &out, std::ostream &err) {
    const std::optional<bool> on = parseSwitch(args[3]);
    if (!on) return usage(err, formatted(tr("%s must be on or off, not \"%s\""), "volume", args[3].c_str()));
    const auto volume = volumeHolding(trashVolumes({}), args[2]);
    if (!volume || volume->id.empty())
        return fail(err, formatted(tr("%s is not on a volume that holds a trash folder of yours; "
                                      "'quillon-settings volumes' lists those"), args[2].c_str()));
    if (!safeToRewrite(err)) return 1;
    Preferences preferences;
    preferences.setVolumePurged(volume->id, *on);
    if (!ensureFolder(Environment::current().preferencesFolder()) || !preferences.synchronize())
        return fail(err, tr("the settings could not be saved"));
    out << formatted(*on ? tr("The trash on %s is purged by the rules.") : tr("The trash on %s is left alone."),
                     volume->mountPoint.c_str())
        << "\n";
    return 0;
}

// Each volume with a trash of the user's, and the choice for it.
std::optional<Rows> volumes(std::ostream &) {
    Rows rows;
    for (const TrashVolume &volume : trashVolumes(Preferences::read().leftAlone)) {
        const std::string choice = volume.purged ? tr("purged by the rules") : tr("left alone");
        if (!volume.answered) {
            rows.push_back({volume.mountPoint + "\n  " + notAnsweringText(),
                            {"-", field(volume.mountPoint), field(volume.id), "-", "-", "-", volume.purged ? "on" : "off"}});
            continue;
        }
        const std::string size = formatted(volume.someUnknown ? localizedPlural("%zu item, at least %s", "%zu items, at least %s", volume.items)
                                                              : localizedPlural("%zu item, %s", "%zu items, %s", volume.items),
                                           volume.items, sizeText(volume.bytes).c_str());
        rows.push_back({volume.files + "\n  " +
                            formatted(tr("on %s (%s): %s, %s free; %s"), volume.mountPoint.c_str(), volume.id.c_str(),
                                      size.c_str(), sizeText(volume.freeBytes).c_str(), choice.c_str()),
                        {field(volume.files), field(volume.mountPoint), field(volume.id), std::to_string(volume.bytes),
                         std::to_string(volume.items), std::to_string(volume.freeBytes), volume.purged ? "on" : "off"}});
    }
    return rows;
}

std::optional<Rows> show(std::ostream &) {
    Rows rows = describe(Preferences::read());
    if (!SessionBus::shared()) {
        rows.push_back({tr("Cannot tell whether the server is on or runs: there is no session bus.")});
        return rows;
    }
    const auto enabled = serverEnabled();
    rows.push_back({!enabled   ? tr("Cannot tell whether the server starts at login: no systemd user manager answers.")
                    : *enabled ? tr("Automatic emptying is on: the server starts at every login.")
                               : tr("Automatic emptying is off; turn it on with 'quillon-settings enable'.")});
    ServerState state;
    if (auto version = ServerClient::versionString(&state))
        rows.push_back({formatted(tr("The server is running (version %s)."), version->c_str())});
    else if (state == ServerState::kBusy)
        rows.push_back({tr("The server is running, busy: it did not answer in time (a long secure purge, say).")});
    else
        rows.push_back({tr("The server is not running.")});
    return rows;
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

std::string sizeOrUnknown(const std::optional<uint64_t> &bytes) { return bytes ? sizeText(*bytes) : tr("size unknown"); }
std::string bytesField(const std::optional<uint64_t> &bytes) { return bytes ? std::to_string(*bytes) : "-"; }

// Where an item came from, as its info file tells; empty when that is not known.
std::string originFrom(const std::string &files, const std::optional<TrashInfo> &info) {
    return info ? originalLocation(files, *info) : "";
}
std::string originField(const std::string &origin) { return origin.empty() ? "-" : field(origin); }
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
    std::string text() const {
        return formatted(someUnknown ? localizedPlural("%zu item, at least %s", "%zu items, at least %s", items)
                                     : localizedPlural("%zu item, %s", "%zu items, %s", items),
                         items, sizeText(bytes).c_str());
    }
};

std::optional<Rows> list(std::ostream &err) {
    const auto folders = remembered(err);
    if (!folders) return std::nullopt;
    const PreferencesSnapshot stored = Preferences::read();
    const CalendarDate now = Environment::current().now();
    Rows rows;
    Tally all;
    for (const auto &folder : *folders) {
        std::vector<std::string> names;
        for (const auto &file : *folder->files()) names.push_back(file->path());
        const auto facts = lookAtItems(folder->path(), names);
        rows.push_back({escapedText(folder->path())});
        if (!facts) rows.push_back({"  " + notAnsweringText()});
        Tally here;
        for (const auto &file : *folder->files()) {
            const ItemFacts none;
            const ItemFacts &fact = facts ? facts->at(file->path()) : none;
            if (facts && !fact.present) continue;  // gone from the trash since the server's last look
            here.add(fact.bytes);
            all.add(fact.bytes);
            const auto &seen = file->trashDate();
            auto due = seen ? dueDate(*seen, stored.period, stored.units) : std::nullopt;
            const auto &kept = file->keepUntil();
            if (due && kept && *kept > *due) due = kept;  // not due before the keep ends
            const std::string origin = originFrom(folder->path(), fact.info);
            const auto trashed = trashedAt(fact.info);
            std::string text = "  " + itemTitle(file->path(), origin) + "\n    " + sizeOrUnknown(fact.bytes) + ", " +
                               (trashed ? formatted(tr("trashed %s"), localizedDate(*trashed).c_str()) : tr("trash date unknown")) +
                               ", " + (seen ? formatted(tr("first seen %s"), localizedDate(*seen).c_str())
                                            : tr("not yet dated (at the next cycle)"));
            if (due && *due <= now) text += ", " + tr("due now");
            else if (due) text += ", " + formatted(tr("deleted after %s"), localizedDate(*due).c_str());
            if (kept && *kept > now) text += ", " + formatted(tr("kept until %s"), localizedDate(*kept).c_str());
            rows.push_back({text, {field(folder->path()), field(file->path()), bytesField(fact.bytes), isoText(seen),
                                   isoText(due), originField(origin), isoText(trashed), isoText(kept)}});
        }
        if (facts && here.items > 0) rows.push_back({"  " + here.text()});
    }
    if (all.items == 0)
        rows.push_back({folders->empty() ? tr("The server remembers no items yet.") : tr("The server remembers no items.")});
    else rows.push_back({formatted(tr("In all: %s"), all.text().c_str())});
    return rows;
}

// The items the next cycle deletes: those remembered since before its cut-off and still in
// the trash. The cycle is the running server's next one, or, without a server, one run now.
std::optional<Rows> preview(std::ostream &err) {
    const auto folders = remembered(err);
    if (!folders) return std::nullopt;
    const PreferencesSnapshot stored = Preferences::read();
    ServerState state;
    const auto next = ServerClient::nextCycleDate(&state);
    const CalendarDate cycle = next.value_or(Environment::current().now());
    Rows rows{{next                     ? formatted(tr("The next cycle runs at %s."), localizedDate(cycle).c_str())
               : !SessionBus::shared() ? tr("Cannot tell whether the server runs: there is no session bus. A cycle now "
                                            "would delete:")
                                       : previewWithoutCycleText(state)}};
    const auto due = previewCycle(*folders, cycle, stored.period, stored.units, {stored.trashLimit, stored.keepFree, stored.minimumAge});
    PreviewFolder all;
    for (const auto &folder : due) {
        rows.push_back({escapedText(folder.folder)});
        if (folder.notAnswering) rows.push_back({"  " + notAnsweringText()});
        for (const auto &item : folder.items) {
            const std::string origin = originFrom(folder.folder, item.info);
            // Why it goes: its age, or the space limits (LimitReason bits).
            static const char *const kWhy[] = {"age", "limit", "free", "limit+free"};
            const std::string because = item.limit == kOverLimit ? " -- " + tr("over the trash's limit")
                                        : item.limit != 0        ? " -- " + tr("to keep the volume's free space")
                                                                 : "";
            rows.push_back({"  " + itemTitle(item.name, origin) + " (" + sizeOrUnknown(item.bytes) + ")" + because,
                            {field(folder.folder), field(item.name), bytesField(item.bytes), isoText(cycle),
                             originField(origin), isoText(trashedAt(item.info)), kWhy[item.limit & 3]}});
            all.items.push_back(item);
        }
        if (!folder.notAnswering) rows.push_back({"  " + freedText(folder)});
        all.bytes += folder.bytes;
        all.someUnknown = all.someUnknown || folder.someUnknown;
    }
    // What the cycle would delete but for a keep: for people only, as it is not deleted.
    if (const auto cutoff = cutoffDate(cycle, stored.period, stored.units))
        for (const auto &folder : *folders)
            for (const auto &file : *folder->files())
                if (file->trashDate() && *file->trashDate() < *cutoff && file->keepUntil() && *file->keepUntil() > cycle)
                    rows.push_back({formatted(tr("Kept until %s: %s"), localizedDate(*file->keepUntil()).c_str(),
                                              escapedText(folder->path() + "/" + file->path()).c_str())});
    if (due.empty()) rows.push_back({tr("Nothing is due.")});
    else if (!all.items.empty()) rows.push_back({formatted(tr("In all: %s"), freedText(all).c_str())});
    return rows;
}

int purge(const Args &, std::ostream &out, std::ostream &err) {
    // The sizes of what is due, measured before the server deletes it: the space a deleted
    // item freed is what it held just before. An item the server deletes that was not due yet
    // here (its clock a little ahead) has no size known.
    std::map<std::string, std::optional<uint64_t>> sizes;  // by path, as the server sends it
    {
        std::string error;
        const PreferencesSnapshot stored = Preferences::read();
        if (const auto folders = rememberedFolders(&error))
            for (const auto &folder : previewCycle(*folders, Environment::current().now(), stored.period, stored.units,
                                                   {stored.trashLimit, stored.keepFree, stored.minimumAge}))
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

// The moment `text` names: a local date "YYYY-MM-DD" (its start), or "Nh", "Nd", "Nw" back from now.
std::optional<int64_t> parseSince(const std::string &text) {
    if (const auto day = parseLocalDateTime(text + "T00:00:00")) return day;
    const auto back = parseDuration(text);
    if (!back) return std::nullopt;
    return static_cast<int64_t>(Environment::current().now().unixSeconds()) - *back;
}

int history(const Args &args, std::ostream &out, std::ostream &err) {
    bool porcelain = false;
    std::optional<int64_t> since;
    for (size_t i = 1; i < args.size(); i++) {
        if (args[i] == "--porcelain") porcelain = true;
        else if (args[i] != "--since") return usage(err, formatted(tr("unknown option \"%s\" for %s"), args[i].c_str(), "history"));
        else if (i + 1 == args.size() || !(since = parseSince(args[++i])))
            return usage(err, tr("--since takes a date (YYYY-MM-DD) or a time back from now (12h, 7d, 4w)"));
    }
    const std::string path = deletionHistoryPath();
    const auto entries = readHistory(path, since.value_or(std::numeric_limits<int64_t>::min()));
    if (!entries)
        return fail(err, formatted(tr("the deletion history %s cannot be read (%s)"), path.c_str(), readErrorText(errno).c_str()));
    Rows rows;
    for (const HistoryEntry &entry : *entries) {
        const CalendarDate when = CalendarDate::fromUnixTime(entry.time);
        std::string what = entry.name.empty() && entry.secure
                               ? formatted(localizedPlural("(secure: %llu item)", "(secure: %llu items)", entry.count),
                                           static_cast<unsigned long long>(entry.count))
                               : itemTitle(entry.name, entry.location);
        if (entry.secure && !entry.name.empty()) what += " " + tr("(securely)");
        rows.push_back({localizedDate(when) + "  " + reasonText(entry.why) + "  " + sizeText(entry.bytes) + "  " + what,
                        {isoText(when), entry.why, entry.secure ? "secure" : "plain", std::to_string(entry.count),
                         std::to_string(entry.bytes), field(entry.folder), entry.name.empty() ? "-" : field(entry.name),
                         originField(entry.location)}});
    }
    if (rows.empty()) rows.push_back({since ? tr("Nothing was deleted since then.") : tr("Nothing was deleted yet.")});
    (porcelain ? printPorcelain : printHuman)(rows, out);
    return 0;
}

// The server keeps the items: it alone writes the trash list file while it runs.
int keep(const Args &args, std::ostream &out, std::ostream &err) {
    std::vector<std::string> names;
    int64_t dueWithin = -1, forSeconds = 7 * 86400;
    for (size_t i = 1; i < args.size(); i++) {
        const bool option = args[i] == "--due-within" || args[i] == "--for";
        if (option && i + 1 == args.size()) return usage(err, formatted(tr("%s takes a duration"), args[i].c_str()));
        if (!option) {
            names.push_back(args[i]);
            continue;
        }
        const auto seconds = parseDuration(args[i + 1]);
        if (!seconds || (args[i] == "--for" && *seconds == 0))
            return usage(err, formatted(tr("the duration must be like 3d, 12h or 2w, not \"%s\""), args[i + 1].c_str()));
        (args[i] == "--for" ? forSeconds : dueWithin) = *seconds;
        i++;
    }
    if (names.empty() == (dueWithin < 0)) return usage(err, tr("keep takes an item's name or --due-within DURATION"));
    ServerState state;
    const auto kept = ServerClient::keep(names, dueWithin, forSeconds, &state);
    if (!kept)
        return fail(err, state == ServerState::kNotRunning
                             ? tr("the server is not running; nothing was kept. Start it with 'quillon-settings enable' or "
                                  "'systemctl --user start quillon-server'")
                             : tr("the server did not answer; what it kept is not known"));
    if (*kept == 0 && !names.empty())
        return fail(err, tr("the server remembers no item of that name; 'quillon-settings list' shows them"));
    const CalendarDate until = CalendarDate::fromUnixSeconds(Environment::current().now().unixSeconds() + static_cast<double>(forSeconds));
    out << formatted(localizedPlural("Kept %u item until about %s.", "Kept %u items until about %s.", *kept), *kept,
                     localizedDate(until).c_str())
        << "\n";
    return 0;
}

// Says `text` on a line of its own: the command did what it was asked.
int say(std::ostream &out, const std::string &text) {
    out << text << "\n";
    return 0;
}

int turn(const Args &args, std::ostream &out, std::ostream &err) {
    std::string why;
    if (args[0] == "enable")
        return enableServer(why) ? say(out, tr("Automatic emptying is on: the server runs now and starts at every login."))
                                 : fail(err, why);
    return disableServer(why) ? say(out, tr("Automatic emptying is off: the server is stopped and does not start at login."))
                              : fail(err, why);
}

int version(const Args &, std::ostream &out, std::ostream &err) {
    ServerState state;
    const auto version = ServerClient::versionString(&state);
    if (version) return say(out, *version);
    return fail(err, state == ServerState::kBusy
                         ? tr("the server is running, busy: it did not answer in time")
                         : tr("the server is not running; start it with 'quillon-settings enable' or 'systemctl --user start "
                              "quillon-server'"));
}

int quit(const Args &, std::ostream &out, std::ostream &err) {
    return ServerClient::quit()
               ? say(out, tr("Asked the server to quit."))
               : fail(err, tr("the server is not running; 'quillon-settings disable' keeps it from starting at login"));
}

int help(const Args &, std::ostream &out, std::ostream &) {
    out << helpText();
    return 0;
}

int toolVersion(const Args &, std::ostream &out, std::ostream &) { return say(out, "quillon-settings " QUILLON_VERSION); }

enum class Arguments {
    kNone,       // the name alone
    kPorcelain,  // the name, or the name and --porcelain
    kAny,        // the command checks them, or heeds none
};

struct Command {
    const char *name;
    Arguments arguments;
    bool needsServer;  // without a session bus it fails before it does anything
    bool writes;       // changes the stored settings, which the running server is told of
    // One of the two: an action that says what it did, or a list-like command that builds
    // rows for the printers (nullopt after saying on `err` why it could not).
    int (*run)(const Args &args, std::ostream &out, std::ostream &err);
    std::optional<Rows> (*report)(std::ostream &err);
};

const Command kCommands[] = {
    {"show", Arguments::kNone, false, false, nullptr, show},
    {"list", Arguments::kPorcelain, false, false, nullptr, list},
    {"preview", Arguments::kPorcelain, false, false, nullptr, preview},
    {"volumes", Arguments::kPorcelain, false, false, nullptr, volumes},
    {"set", Arguments::kAny, false, true, set, nullptr},
    {"enable", Arguments::kNone, false, false, turn, nullptr},
    {"disable", Arguments::kNone, false, false, turn, nullptr},
    {"purge", Arguments::kNone, true, false, purge, nullptr},  // the server deletes, never the tool
    {"keep", Arguments::kAny, true, false, keep, nullptr},     // and keeps
    {"history", Arguments::kAny, false, false, history, nullptr},
    {"version", Arguments::kNone, true, false, version, nullptr},
    {"quit", Arguments::kNone, true, false, quit, nullptr},
    {"--help", Arguments::kAny, false, false, help, nullptr},
    {"-h", Arguments::kAny, false, false, help, nullptr},
    {"help", Arguments::kAny, false, false, help, nullptr},
    {"--version", Arguments::kAny, false, false, toolVersion, nullptr},
};

}  // namespace

int runSettingsTool(const Args &args, std::ostream &out, std::ostream &err) {
    const std::string name = args.empty() ? "show" : args[0];
    const Command *command = nullptr;
    for (const Command &candidate : kCommands)
        if (name == candidate.name) command = &candidate;
    const Arguments arguments = command ? command->arguments : Arguments::kNone;
    const bool porcelain = arguments == Arguments::kPorcelain && args.size() == 2;
    if (porcelain && args[1] != "--porcelain")
        return usage(err, formatted(tr("unknown option \"%s\" for %s"), args[1].c_str(), name.c_str()));
    if (arguments != Arguments::kAny && args.size() > (porcelain ? 2 : 1))
        return usage(err, formatted(tr("\"%s\" takes no arguments"), name.c_str()));
    if (!command) return usage(err, formatted(tr("unknown command \"%s\""), name.c_str()));
    if (command->needsServer && !SessionBus::shared())
        return fail(err, tr("cannot reach the server: there is no session bus (run this in your desktop session)"));
    if (command->report) {
        const auto rows = command->report(err);
        if (!rows) return 1;
        (porcelain ? printPorcelain : printHuman)(*rows, out);
        return 0;
    }
    // Without a bus a change cannot be announced: say what that means here, in place of the
    // notification center's own line.
    const bool untold = command->writes && !SessionBus::shared();
    if (untold) DistributedNotificationCenter::defaultCenter().setReportsMissingBus(false);
    const int status = command->run(args, out, err);
    if (untold && status == 0)
        err << "quillon-settings: " << tr("the settings are saved; the running server could not be told (no session bus)")
            << "\n";
    return status;
}

}  // namespace quillon
