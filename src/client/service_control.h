// Starting, stopping, and turning on or off for good the server's systemd user unit, for
// quillon-settings and the settings panel alike: through the user manager's bus interface
// (org.freedesktop.systemd1 on the session bus), so that the unit's own settings apply; where
// no manager answers, a start by D-Bus activation of the server's name and a stop by its quit
// call. No call here ever activates a user manager.
#pragma once

#include <optional>
#include <string>

namespace quillon {

// Whether the server's unit starts at login (its unit file is enabled, by the user or for
// every user); nullopt when no user manager answers on the session bus, or there is none.
std::optional<bool> serverEnabled();
// Turns automatic emptying on for good: enables the unit, has the manager reload, and starts
// it (the answer comes as "server launched"). Turns it off: disables the unit, reloads, and
// stops the server. False, with why in the user's language, when there is no session bus,
// no user manager answers (nothing was changed) or the manager refused.
bool enableServer(std::string &why);
bool disableServer(std::string &why);

// Asks for the server to start; the answer comes as "server launched". False when no way to
// start it could be asked.
bool startServer();
// Asks the running server to stop; the answer comes as "server will terminate".
bool stopServer();

}  // namespace quillon
