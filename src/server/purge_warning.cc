#include "server/purge_warning.h"

#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/localization.h"
#include "base/log.h"
#include "base/size_text.h"

namespace quillon {

PurgeWarnings::PurgeWarnings(std::function<void(const std::vector<ItemKey> &)> keep)
    : keep_(std::move(keep)), listener_([this](uint32_t id, const std::string &key) { invoked(id, key); }) {}

void PurgeWarnings::cycleEnded(const CycleReport &report, uint64_t warnItems, uint64_t warnBytes) {
    std::vector<DueItem> due;
    due.reserve(report.dueSoon.size());
    for (const auto &item : report.dueSoon) due.push_back({{item.folder, item.name}, item.bytes});
    PurgeWarning warning = purgeWarning(due, warned_, warnItems, warnBytes);
    warned_ = std::move(warning.warned);
    if (!warning.warns) return;
    std::vector<ItemKey> items;
    items.reserve(due.size());
    for (const DueItem &item : due) items.push_back(item.key);
    const std::string summary = formatted(localizedPlural("Tomorrow Quillon deletes %zu item (%s) from the trash",
                                                          "Tomorrow Quillon deletes %zu items (%s) from the trash", warning.items),
                                          warning.items, sizeText(warning.bytes).c_str());
    (void)sendDesktopNotice(summary, "",
                            {{kShow, localizedString("Show")}, {kKeepWeek, localizedString("Keep for a week")}},
                            [self = std::weak_ptr(self_), items = std::move(items)](uint32_t id) {
                                if (const auto alive = self.lock()) (*alive)->remember(id, items, true);
                            });
}

std::function<void(uint32_t)> PurgeWarnings::cycleNoticeSent() {
    return [self = std::weak_ptr(self_)](uint32_t id) {
        if (const auto alive = self.lock()) (*alive)->remember(id, {}, false);
    };
}

void PurgeWarnings::remember(uint32_t id, std::vector<ItemKey> items, bool warning) {
    constexpr size_t kRemembered = 8;  // notices stay on screen or in a list a while, not forever
    sent_.push_back({id, std::move(items), warning});
    if (sent_.size() > kRemembered) sent_.pop_front();
}

void PurgeWarnings::invoked(uint32_t id, const std::string &key) {
    for (const Sent &sent : sent_) {
        if (sent.id != id) continue;
        if (key == kShow) (void)showPanel(sent.warning ? "due" : "history");
        else if (key == kKeepWeek && sent.warning) keep_(sent.items);
        return;
    }
}

bool showPanel(const std::string &what) {
    // Everything the children use is made before the fork: after it only async-signal-safe
    // calls. The panel is looked for beside this program, then along PATH.
    std::vector<std::string> candidates;
    char self[PATH_MAX];
    if (const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1); n > 0) {
        std::string dir(self, static_cast<size_t>(n));
        candidates.push_back(dir.substr(0, dir.rfind('/') + 1) + "quillon-panel");
    }
    const char *path = getenv("PATH");
    for (std::string rest = path ? path : "/usr/local/bin:/usr/bin:/bin"; !rest.empty();) {
        const size_t colon = rest.find(':');
        const std::string dir = rest.substr(0, colon);
        if (!dir.empty()) candidates.push_back(dir + "/quillon-panel");
        rest = colon == std::string::npos ? "" : rest.substr(colon + 1);
    }
    const std::string option = "--show";
    sigset_t none;
    sigemptyset(&none);
    // Forked twice so that the panel is no child of the server's: nothing waits for it.
    const pid_t child = fork();
    if (child == 0) {
        if (fork() == 0) {
            (void)setsid();
            (void)sigprocmask(SIG_SETMASK, &none, nullptr);  // the loop blocks its signals
            for (const std::string &candidate : candidates) {
                char *argv[] = {const_cast<char *>(candidate.c_str()), const_cast<char *>(option.c_str()),
                                const_cast<char *>(what.c_str()), nullptr};
                execv(candidate.c_str(), argv);
            }
            _exit(127);
        }
        _exit(0);
    }
    if (child < 0) {
        logMessage("could not start the settings panel: %s", strerror(errno));
        return false;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace quillon
