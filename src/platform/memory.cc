#include "platform/memory.h"

#include <malloc.h>

namespace quillon {

void releaseFreedMemory() { (void)malloc_trim(0); }

}  // namespace quillon
