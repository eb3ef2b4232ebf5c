// One whole purge cycle of a TrashServer, as purgeNow runs it: the loop turns until the
// cycle's end has been taken on it.
#pragma once

#include <optional>

#include "bus/run_loop.h"
#include "server/trash_server.h"

namespace quillon::testing {

inline CycleReport cycle(TrashServer &server, RunLoop &loop) {
    std::optional<CycleReport> report;
    server.purgeNow([&](const CycleReport &done) { report = done; });
    loop.runUntil([&] { return report.has_value(); });
    return *report;
}

}  // namespace quillon::testing
