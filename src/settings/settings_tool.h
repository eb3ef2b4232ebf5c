// quillon-settings: shows and changes the server's settings, talks to the running server and
// lists what it remembers. Every write goes through Preferences, so the running server hears
// "preferences changed" and its next cycle uses the new values.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quillon {

// Runs the tool on `args` (without the program name). Exit status: 0 done, 1 failed (no
// server, a write or read that failed), 2 bad arguments (nothing written).
int runSettingsTool(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace quillon
