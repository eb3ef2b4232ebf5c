// Sizes as people read them.
#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// A size for people: "512 B", "1.5 KiB", "3.2 MiB", ... with the locale's decimal separator.
std::string sizeText(uint64_t bytes);

}  // namespace quillon
