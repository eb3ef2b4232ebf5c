// The settings tool's side of the remote-control interface.
#pragma once

#include <optional>
#include <string>

namespace quillon {

class ServerClient {
 public:
    // The running server's version; nullopt when no server answers (or there is no bus).
    static std::optional<std::string> versionString();
    // Sends the one-way quit to the running server. False when no server holds the name.
    static bool quit();
    // True when some process holds the server's bus name, whether it answers or not (a
    // server busy with a long secure purge answers only when the purge is done).
    static bool isRunning();
};

}  // namespace quillon
