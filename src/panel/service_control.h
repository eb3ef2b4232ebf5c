// Starting and stopping the server for the settings panel: through the systemd user manager's
// bus interface when the session has one (so the unit's own settings apply), else by D-Bus
// activation of the server's bus name and its quit call.
#pragma once

namespace quillon {

// Asks for the server to start; the answer comes as "server launched". False when no way to
// start it could be asked.
bool startServer();
// Asks the running server to stop; the answer comes as "server will terminate".
bool stopServer();

}  // namespace quillon
