// The process's one connection to the user's session bus, shared by the notification center
// and the remote-control interface.
#pragma once

typedef struct sd_bus sd_bus;

namespace quillon {

class SessionBus {
 public:
    // The connection, opened on first use from $DBUS_SESSION_BUS_ADDRESS or
    // $XDG_RUNTIME_DIR/bus. Null when there is no session bus.
    static sd_bus *shared();
    // Flushes and closes the connection; the next shared() connects anew.
    static void reset();
};

}  // namespace quillon
