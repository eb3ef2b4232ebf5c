// The desktop notice after a cycle that deleted something: how many items and how much space,
// per trash folder when there are several (each named in the escaped form of escapedText,
// base/log.h), why items went for the space limits and what the minimum age kept them from
// freeing, and how many could not be deleted.
#pragma once

#include "trash/trash_folder.h"

namespace quillon {

// Sends the notice for `report`; nothing when the cycle deleted nothing.
void noticePurge(const CycleReport &report);

}  // namespace quillon
