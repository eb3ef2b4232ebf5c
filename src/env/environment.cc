#include "env/environment.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fs/blocking_work.h"
#include "fs/file_removal.h"
#include "secure_delete/secure_delete.h"

namespace quillon {

namespace {

Environment *installed = nullptr;

std::string xdgFolder(const char *variable, Environment &environment, const char *fallback) {
    const char *value = getenv(variable);
    // The XDG base directory rules ignore relative paths.
    if (value && value[0] == '/') return value;
    return environment.homeFolder() + fallback;
}

}  // namespace

Environment &Environment::current() {
    static SystemEnvironment system;
    return installed ? *installed : system;
}

void Environment::setCurrent(Environment *environment) { installed = environment; }

CalendarDate SystemEnvironment::now() { return CalendarDate::calendarDate(); }

std::chrono::nanoseconds SystemEnvironment::bootTime() {
    struct timespec ts;
    clock_gettime(CLOCK_BOOTTIME, &ts);
    return std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec);
}

std::string SystemEnvironment::homeFolder() {
    const char *home = getenv("HOME");
    if (home && home[0] == '/') return home;
    struct passwd entry, *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

std::string SystemEnvironment::preferencesFolder() { return xdgFolder("XDG_CONFIG_HOME", *this, "/.config"); }

std::string SystemEnvironment::dataFolder() { return xdgFolder("XDG_DATA_HOME", *this, "/.local/share"); }

std::string SystemEnvironment::stateFolder() { return xdgFolder("XDG_STATE_HOME", *this, "/.local/state"); }

std::string SystemEnvironment::mountTable() {
    std::ifstream table("/proc/self/mountinfo");
    std::ostringstream text;
    text << table.rdbuf();
    return text.str();
}

uid_t SystemEnvironment::userId() { return getuid(); }

std::string SystemEnvironment::volumeUuid(dev_t device) {
    // udev keeps one link per UUID to the block device; the device node's number is the one
    // the mount table gives, so no volume has to answer for this.
    DIR *links = opendir("/dev/disk/by-uuid");
    if (!links) return "";
    std::string uuid;
    struct stat st;
    while (const dirent *entry = readdir(links))
        if (entry->d_name[0] != '.' && fstatat(dirfd(links), entry->d_name, &st, 0) == 0 && S_ISBLK(st.st_mode) &&
            st.st_rdev == device) {
            uuid = entry->d_name;
            break;
        }
    closedir(links);
    return uuid;
}

bool SystemEnvironment::removeItem(const std::string &path, uint64_t *freed) { return removeTree(path, freed); }

bool SystemEnvironment::secureDelete(const std::string &path, int level) {
    // Blocks written count as progress of the patient work this may run in.
    secure_delete_count_progress(progressCounter());
    const bool deleted = secure_delete(path.c_str(), level) != 0;
    secure_delete_count_progress(nullptr);
    return deleted;
}

}  // namespace quillon
