// Returning freed heap memory to the system.
#pragma once

namespace quillon {

// Gives the pages of freed heap memory back to the system. Call after work that allocated
// much and freed it (a save or a load of a large list file): a long-lived server would
// otherwise keep its peak for good.
void releaseFreedMemory();

}  // namespace quillon
