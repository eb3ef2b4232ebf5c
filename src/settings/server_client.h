// The settings tool's side of the remote-control interface.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/calendar_date.h"

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
    // Asks the running server to run a cycle now and waits for it to end, however long its
    // deletions take. The items it deleted and those it could not; nullopt when no server
    // answered.
    struct PurgeResult {
        std::vector<std::string> deleted, failed;
    };
    static std::optional<PurgeResult> purgeNow();
    // The same without waiting: `done` is called from the processing of the session bus when
    // the server answers (nullopt: no server, or it failed). False when nothing could be sent.
    static bool purgeNowAsync(std::function<void(std::optional<PurgeResult>)> done);
    // When the running server's timer runs its next cycle; nullopt when no server answered.
    static std::optional<CalendarDate> nextCycleDate();
};

}  // namespace quillon
