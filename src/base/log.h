// The system's one log function: every line goes to syslog (and so the journal) and to
// standard error, under the program's name.
#pragma once

#include <functional>
#include <string>

#include "base/text.h"

namespace quillon {

// Logs one line, printf-style, in the escaped form of escapedText (a newline or an invalid
// byte in a file name, say), so that one message stays one line of valid UTF-8. Safe to call
// from any thread.
void logMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Routes log lines to `sink` instead of syslog; an empty function restores syslog. For tests.
void setLogSink(std::function<void(const std::string &)> sink);

}  // namespace quillon
