// Desktop notices: org.freedesktop.Notifications on the session bus, as every desktop's
// notification daemon (or one started for the call) shows them.
#pragma once

#include <string>

namespace quillon {

// Sends one notice from "Quillon" with `summary` and `body`, without waiting for its answer:
// a session without a notification daemon simply shows nothing. Both are plain text and must
// be valid UTF-8 (names and paths in them in the escaped form of escapedText, base/log.h).
// Where the running notification daemon reads markup in the body (it lists "body-markup"
// among its capabilities, asked anew for each notice with a wait of at most a second, or it
// does not answer that question), &, < and > go as &amp;, &lt; and &gt;, so that a folder
// named to spell markup or a link shows as its name. False when it could not be sent: no
// session bus, or a notice that could not be built or sent (logged with sd-bus's error).
bool sendDesktopNotice(const std::string &summary, const std::string &body);

}  // namespace quillon
