#include "platform/log.h"

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

std::string escapeControlCharacters(const std::string &text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

void setLogSink(std::function<void(const std::string &)> new_sink) { sink() = std::move(new_sink); }

std::string vformatted(const char *format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int length = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

void logMessage(const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = escapeControlCharacters(vformatted(format, args));
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
