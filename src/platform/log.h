// The system's one log function: every line goes to syslog (and so the journal) and to
// standard error, under the program's name.
#pragma once

#include <functional>
#include <cstdarg>
#include <string>

namespace quillon {

// Logs one line, printf-style. Control characters (a newline in a file name, say) are
// written as \xNN, so that one message stays one line. Safe to call from any thread.
void logMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

// `text` with control characters written as \xNN.
std::string escapeControlCharacters(const std::string &text);

// vsnprintf into a string of the length it needs.
std::string vformatted(const char *format, va_list args);

// Routes log lines to `sink` instead of syslog; an empty function restores syslog. For tests.
void setLogSink(std::function<void(const std::string &)> sink);

}  // namespace quillon
