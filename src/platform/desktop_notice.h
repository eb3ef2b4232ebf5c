// Desktop notices: org.freedesktop.Notifications on the session bus, as every desktop's
// notification daemon (or one started for the call) shows them.
#pragma once

#include <string>

namespace quillon {

// Sends one notice from "Quillon" with `summary` and `body`, without waiting for an answer:
// a session without a notification daemon simply shows nothing. False when it could not be
// sent at all (no session bus).
bool sendDesktopNotice(const std::string &summary, const std::string &body);

}  // namespace quillon
