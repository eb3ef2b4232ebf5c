// The desktop notice after a cycle that deleted something: how many items and how much space,
// per trash folder when there are several (each named in the escaped form of escapedText,
// base/log.h), why items went for the space limits and what the minimum age kept them from
// freeing, and how many could not be deleted.
#pragma once

#include <cstdint>
#include <functional>

#include "trash/trash_folder.h"

namespace quillon {

// Sends the notice for `report`, with a "Show" action where the daemon takes actions (`sent`
// then gets its id, bus/desktop_notice.h); nothing when the cycle deleted nothing.
void noticePurge(const CycleReport &report, std::function<void(uint32_t id)> sent = {});

}  // namespace quillon
