#include "platform/session_bus.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include "platform/log.h"

namespace quillon {

namespace {
sd_bus *connection = nullptr;
bool tried = false;
bool reportedMissing = false;
}  // namespace

sd_bus *SessionBus::shared() {
    if (connection || tried) return connection;
    tried = true;
    sd_bus *bus = nullptr;
    const int r = sd_bus_open_user(&bus);
    if (r < 0) {
        if (!reportedMissing) logMessage("no session bus (%s): notifications are not posted", strerror(-r));
        reportedMissing = true;
        return nullptr;
    }
    connection = bus;
    return connection;
}

void SessionBus::reset() {
    if (connection) {
        (void)sd_bus_flush(connection);
        connection = sd_bus_flush_close_unref(connection);
    }
    connection = nullptr;
    tried = false;
}

}  // namespace quillon
