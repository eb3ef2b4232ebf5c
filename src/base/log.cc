#include "base/log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

namespace quillon {

namespace {
std::function<void(const std::string &)> &sink() {
    static std::function<void(const std::string &)> current;
    return current;
}

}  // namespace

void setLogSink(std::function<void(const std::string &)> new_sink) { sink() = std::move(new_sink); }

void logMessage(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = escapedText(vformatted(format, args));
    va_end(args);

    // File work that was left to finish on a thread of its own may log beside the run loop.
    static std::mutex serialized;
    std::lock_guard<std::mutex> hold(serialized);
    if (sink()) {
        sink()(line);
        return;
    }
    static const bool opened = [] {
        openlog(nullptr, LOG_PERROR | LOG_PID, LOG_USER);  // ident: the program's name
        return true;
    }();
    (void)opened;
    syslog(LOG_NOTICE, "%s", line.c_str());
}

}  // namespace quillon
