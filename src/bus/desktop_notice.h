// Desktop notices: org.freedesktop.Notifications on the session bus, as every desktop's
// notification daemon (or one started for the call) shows them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

typedef struct sd_bus_slot sd_bus_slot;

namespace quillon {

// Sends one notice from "Quillon" with `summary` and `body`, without waiting for its answer:
// a session without a notification daemon simply shows nothing. Both are plain text and must
// be valid UTF-8 (names and paths in them in the escaped form of escapedText, base/log.h).
// Where the running notification daemon reads markup in the body (it lists "body-markup"
// among its capabilities, asked anew for each notice with a wait of at most a second, which
// on a bus attached to an event loop blocks nothing (see below), or it does not answer that
// question), &, < and > go as &amp;, &lt; and &gt;, so that a folder
// named to spell markup or a link shows as its name. False when it could not be sent: no
// session bus, or a notice that could not be built or sent (logged with sd-bus's error).
bool sendDesktopNotice(const std::string &summary, const std::string &body);

// A button of a notice: the key ActionInvoked names, and its label (translated).
struct NoticeAction {
    std::string key, label;
};
// sendDesktopNotice, offering `actions` where the daemon lists "actions" among its
// capabilities; `sent` is then called with the id the daemon gave the notice, from the
// processing of the bus, once it answers (never when the notice carries no actions or could
// not be sent). On a bus attached to an event loop nothing here waits: the capabilities are
// asked without blocking and the notice goes when they answer (or as without an answer, after
// a second); elsewhere they are asked as sendDesktopNotice asks them.
bool sendDesktopNotice(const std::string &summary, const std::string &body, const std::vector<NoticeAction> &actions,
                       std::function<void(uint32_t id)> sent);

// Hears the daemon's ActionInvoked(id, key) while it lives, from the processing of the bus;
// the caller tells its own notices by their ids. Hears nothing without a session bus.
class NoticeActionListener {
 public:
    explicit NoticeActionListener(std::function<void(uint32_t id, const std::string &key)> invoked);
    ~NoticeActionListener();
    NoticeActionListener(const NoticeActionListener &) = delete;
    NoticeActionListener &operator=(const NoticeActionListener &) = delete;

 private:
    std::function<void(uint32_t, const std::string &)> invoked_;
    sd_bus_slot *slot_ = nullptr;
};

}  // namespace quillon
