#include "settings/settings_tool.h"

#include <cctype>
#include <cstdint>
#include <optional>

#include "platform/atomic_file.h"
#include "platform/environment.h"
#include "platform/log.h"
#include "platform/user_defaults.h"
#include "preferences/preferences.h"
#include "server/trash_server.h"
#include "settings/server_client.h"
#include "trash/trash_list_file.h"

namespace quillon {

namespace {

constexpr char kUsage[] =
    "usage: quillon-settings [show | set period hours|days|weeks|months | set count N |\n"
    "                         set secure on|off | list | purge | version | quit | --help]\n";

constexpr char kHelp[] =
    "Shows and changes when Quillon empties your trash.\n"
    "\n"
    "  quillon-settings                 the current settings, and whether the server runs\n"
    "  quillon-settings set period P    the unit of the period: hours, days, weeks or months\n"
    "  quillon-settings set count N     how many of them an item stays in the trash\n"
    "  quillon-settings set secure on   overwrite items before deleting them (off: plain)\n"
    "  quillon-settings list            every remembered item, first seen when, purged from when\n"
    "  quillon-settings purge           ask the running server to delete what is due now\n"
    "  quillon-settings version         the running server's version\n"
    "  quillon-settings quit            ask the running server to quit\n"
    "\n"
    "Secure deletion overwrites the data of each file once with random bytes, flushes it to\n"
    "the disk, then removes it. It cannot reach copies the storage keeps elsewhere: file\n"
    "systems that journal data (ext4 with data=journal) or copy on write (btrfs, ZFS),\n"
    "small files kept inline in their inode, snapshots and backups, network volumes, and\n"
    "SSDs and flash drives, which remap blocks. File names may stay readable in directory\n"
    "blocks. Where that matters, use full-disk encryption.\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad arguments.\n";

int usage(std::ostream &err, const std::string &problem) {
    err << "quillon-settings: " << problem << "\n" << kUsage;
    return 2;
}

// The unit's name as the settings list shows it, lowercased where it was not translated so
// that the English sentence reads naturally.
std::string unitName(Preferences &preferences, int period) {
    std::string name = preferences.periodList()[static_cast<size_t>(period)];
    if (name == Preferences::unitKey(period, preferences.units() == 0)) name[0] = static_cast<char>(tolower(name[0]));
    return name;
}

void describe(Preferences &preferences, std::ostream &out) {
    const int period = preferences.period(), units = preferences.units();
    const char *how = preferences.isSecure() ? "securely" : "plainly";
    if (Preferences::largestCount(period) == 0 || units < 0) {
        out << "The stored settings name no purge period (period " << period << ", units " << units
            << "): nothing is purged until they are set again.\n";
        return;
    }
    out << "Delete items " << static_cast<int64_t>(units) + 1 << " " << unitName(preferences, period)
        << " after they were first seen, " << how << ".\n";
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
    if (!ensureFolder(Environment::current().preferencesFolder()) || !preferences.synchronize()) {
        err << "quillon-settings: the settings could not be saved\n";
        return 1;
    }
    describe(preferences, out);
    return 0;
}

// Why the stored settings must not be rewritten, or empty: a file that cannot be read whole,
// or holds values that cannot be read, would lose them.
std::string unsafeToRewrite() {
    UserDefaults &defaults = UserDefaults::standardUserDefaults();
    const std::string path = UserDefaults::pathForDomain(Preferences::kDomainName);
    if (defaults.isDamaged(Preferences::kDomainName)) return "the settings file " + path + " cannot be read";
    const auto unreadable = defaults.unreadableKeys(Preferences::kDomainName);
    if (!unreadable.empty()) return "the setting \"" + unreadable[0] + "\" in " + path + " cannot be read";
    return "";
}

int set(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    if (args.size() != 3) return usage(err, "set takes a setting and a value");
    const std::string &what = args[1], &value = args[2];
    // Everything is checked before anything is changed: a refused command writes nothing.
    std::optional<int> period, count;
    if (what == "period") {
        period = parsePeriod(value);
        if (!period) return usage(err, "the period must be hours, days, weeks or months, not \"" + value + "\"");
    } else if (what == "count") {
        count = parseCount(value);
    } else if (what == "secure") {
        if (value != "on" && value != "off") return usage(err, "secure must be on or off, not \"" + value + "\"");
    } else {
        return usage(err, "there is no setting \"" + what + "\"");
    }
    if (const std::string why = unsafeToRewrite(); !why.empty()) {
        err << "quillon-settings: " << why << "; nothing was changed. To start afresh with the defaults, move it away:\n"
            << "  mv " << UserDefaults::pathForDomain(Preferences::kDomainName) << " "
            << UserDefaults::pathForDomain(Preferences::kDomainName) << ".broken\n";
        return 1;
    }
    auto preferences = Preferences::preferences();
    if (what == "count") {
        const int largest = Preferences::largestCount(preferences->period());
        if (largest == 0) {
            preferences->discardChanges();
            return usage(err, "set the period first: the stored one names no unit");
        }
        if (!count || *count < 1 || *count > largest) {
            const std::string unit = unitName(*preferences, preferences->period());
            preferences->discardChanges();
            std::string allowed;
            for (int c = 1; c <= largest; c++) allowed += (c > 1 ? ", " : "") + std::to_string(c);
            return usage(err, "the count for " + unit + " must be one of " + allowed + ", not \"" + value + "\"");
        }
        preferences->setUnits(*count - 1);
    } else if (period) {
        preferences->setPeriod(*period);
        (void)preferences->unitsList();  // a count beyond the new unit's largest is pulled back
    } else {
        preferences->setSecure(value == "on");
    }
    return save(*preferences, out, err);
}

int show(std::ostream &out) {
    auto preferences = Preferences::preferences();
    describe(*preferences, out);
    preferences->discardChanges();  // showing changes nothing
    if (auto version = ServerClient::versionString())
        out << "The server is running (version " << *version << ").\n";
    else if (ServerClient::isRunning())
        out << "The server is running, busy: it did not answer in time (a long secure purge, say).\n";
    else
        out << "The server is not running.\n";
    return 0;
}

int list(std::ostream &out, std::ostream &err) {
    const std::string path = TrashServer::listFilePath();
    const PathKind kind = examinePath(path);
    if (kind == PathKind::kMissing) {
        out << "The server remembers no items yet.\n";
        return 0;
    }
    std::string error = "it is a folder";
    std::optional<FolderList> folders;
    if (kind == PathKind::kOther) {
        if (auto data = readWholeFile(path)) folders = decodeTrashList(std::move(*data), &error);
        else error = "it cannot be read";
    }
    if (!folders) {
        err << "quillon-settings: the trash list file " << path << " is damaged (" << error
            << "); the server replaces it at its next cycle\n";
        return 1;
    }
    auto preferences = Preferences::preferences();
    const int period = preferences->period(), units = preferences->units();
    size_t items = 0;
    for (const auto &folder : *folders) {
        out << folder->path() << "\n";
        for (const auto &file : *folder->files()) {
            items++;
            out << "  " << escapeControlCharacters(file->path()) << "\n";
            if (!file->trashDate()) {
                out << "    first seen: not yet dated (at the next cycle)\n";
                continue;
            }
            out << "    first seen " << file->trashDate()->description();
            if (auto due = TrashServer::dueDate(*file->trashDate(), period, units))
                out << ", purged from " << due->description();
            out << "\n";
        }
    }
    if (items == 0) out << "The server remembers no items.\n";
    return 0;
}

int purge(std::ostream &out, std::ostream &err) {
    // The tool never deletes anything itself: the server does, with its own records.
    auto result = ServerClient::purgeNow();
    if (!result) {
        err << "quillon-settings: the server is not running; nothing was deleted\n";
        return 1;
    }
    if (result->deleted.empty() && result->failed.empty()) out << "Nothing was due.\n";
    auto items = [](size_t n) { return std::to_string(n) + (n == 1 ? " item" : " items"); };
    if (!result->deleted.empty()) out << "Deleted " << items(result->deleted.size()) << ":\n";
    for (const auto &path : result->deleted) out << "  " << escapeControlCharacters(path) << "\n";
    if (!result->failed.empty()) err << "Could not delete " << items(result->failed.size()) << " (see the journal):\n";
    for (const auto &path : result->failed) err << "  " << escapeControlCharacters(path) << "\n";
    return result->failed.empty() ? 0 : 1;
}

}  // namespace

int runSettingsTool(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    if (args.empty() || (args.size() == 1 && args[0] == "show")) return show(out);
    const std::string &command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        out << kUsage << "\n" << kHelp;
        return 0;
    }
    if (command == "set") return set(args, out, err);
    if (args.size() != 1) return usage(err, "\"" + command + "\" takes no arguments");
    if (command == "list") return list(out, err);
    if (command == "purge") return purge(out, err);
    if (command == "version") {
        auto version = ServerClient::versionString();
        if (!version) {
            err << (ServerClient::isRunning() ? "quillon-settings: the server is running, busy: it did not answer in time\n"
                                              : "quillon-settings: the server is not running\n");
            return 1;
        }
        out << *version << "\n";
        return 0;
    }
    if (command == "quit") {
        if (!ServerClient::quit()) {
            err << "quillon-settings: the server is not running\n";
            return 1;
        }
        out << "Asked the server to quit.\n";
        return 0;
    }
    return usage(err, "unknown command \"" + command + "\"");
}

}  // namespace quillon
