// The warning before a large purge, and what the buttons of the server's notices do.
//
// After each cycle the server hands over the items due within the next day; when they make a
// new batch over the thresholds (policy/purge_policy.h, purgeWarning) one notice tells
// "Tomorrow Quillon deletes 142 items (3.2 GiB) from the trash", offering "Show" (the panel on
// its list of items due) and "Keep for a week" where the notification daemon takes actions.
// The notice after a cycle offers "Show" (the panel's history). Only the ids the daemon gave
// this server's own notices are heard; the last few are remembered. Everything here runs on
// the run loop's thread, from the processing of the session bus.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bus/desktop_notice.h"
#include "policy/purge_policy.h"
#include "trash/trash_folder.h"

namespace quillon {

class PurgeWarnings {
 public:
    // `keep` sets a keep-until date a week ahead on exactly the items it is given.
    explicit PurgeWarnings(std::function<void(const std::vector<ItemKey> &items)> keep);

    // Sends the warning when the cycle's dueSoon makes a new batch over the thresholds.
    void cycleEnded(const CycleReport &report, uint64_t warnItems, uint64_t warnBytes);
    // What takes the id the daemon gave a notice after a cycle, whose "Show" opens the panel's
    // history; it does nothing once this object is gone.
    std::function<void(uint32_t id)> cycleNoticeSent();

    // The action keys of the notices.
    static constexpr char kShow[] = "show";
    static constexpr char kKeepWeek[] = "keep-week";

 private:
    struct Sent {
        uint32_t id;
        std::vector<ItemKey> items;  // of a warning
        bool warning;
    };
    void remember(uint32_t id, std::vector<ItemKey> items, bool warning);
    void invoked(uint32_t id, const std::string &key);

    std::function<void(const std::vector<ItemKey> &)> keep_;
    std::set<ItemKey> warned_;
    std::deque<Sent> sent_;  // the latest notices, newest last
    // Answers to a notice may come after this object is gone (bus/desktop_notice.h).
    std::shared_ptr<PurgeWarnings *> self_ = std::make_shared<PurgeWarnings *>(this);
    NoticeActionListener listener_;
};

// Starts the settings panel showing `what` ("due" or "history"), detached from the server;
// a panel that runs already is raised. False (logged) when it could not be started.
bool showPanel(const std::string &what);

}  // namespace quillon
