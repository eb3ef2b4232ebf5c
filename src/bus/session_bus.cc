#include "bus/session_bus.h"

#include <systemd/sd-bus.h>


namespace quillon {

namespace {
sd_bus *connection = nullptr;
bool tried = false;
}  // namespace

sd_bus *SessionBus::shared() {
    if (connection || tried) return connection;
    tried = true;
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0) return nullptr;
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
