// The settings tool's side of the remote-control interface.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/calendar_date.h"

namespace quillon {

// Where the server answers on the session bus (server/remote_control.h is its side).
inline constexpr char kServerName[] = "local.vantor.quillon.server";
inline constexpr char kServerPath[] = "/local/vantor/quillon/server";
inline constexpr char kServerInterface[] = "local.vantor.quillon.TrashProtocol";

// How a call to the server went; every call below tells it, so that each command words a
// server that holds its name but does not answer as busy, never as gone.
enum class ServerState {
    kNotRunning,  // no process holds the server's name, or there is no bus: the call reached nobody
    kBusy,        // a process holds the name but gave no answer in time (deep in a long secure
                  // purge, or stuck), or the call failed on its way: what it did is not known
    kAnswered,
};

class ServerClient {
 public:
    // Each call tells in `state`, when given, how it went; its value is there only when the
    // server answered.
    // The running server's version.
    static std::optional<std::string> versionString(ServerState *state = nullptr);
    // Sends the one-way quit to the running server. False when no server holds the name.
    static bool quit();
    // True when some process holds the server's bus name, whether it answers or not (a
    // server busy with a long secure purge answers only when the purge is done).
    static bool isRunning();
    // Asks the running server to run a cycle now and waits for it to end, however long its
    // deletions take. The items it deleted and those it could not with why each stays (an
    // errno text, in the same order), each path in the escaped form of escapedText
    // (base/log.h) as the server sends it.
    struct PurgeResult {
        std::vector<std::string> deleted, failed, reasons;
    };
    static std::optional<PurgeResult> purgeNow(ServerState *state = nullptr);
    // The same without waiting: `done` is called from the processing of the session bus once
    // the call is over, with the result when the server answered. False when nothing could be
    // sent (no bus).
    static bool purgeNowAsync(std::function<void(ServerState, std::optional<PurgeResult>)> done);
    // When the running server's timer runs its next cycle. A server that answers without one
    // (it runs none while it starts or stops) counts as busy.
    static std::optional<CalendarDate> nextCycleDate(ServerState *state = nullptr);
    // Asks the running server to keep items past their due date for `forSeconds` from now:
    // those named one of `names` (as typed or as list shows them) and, with `dueWithin` >= 0,
    // every item due within that many seconds (Keep on the bus). How many it keeps; the server
    // saves its trash list file itself. Names must be valid UTF-8 (as list shows them).
    static std::optional<uint32_t> keep(const std::vector<std::string> &names, int64_t dueWithin, int64_t forSeconds,
                                        ServerState *state = nullptr);
};

}  // namespace quillon
