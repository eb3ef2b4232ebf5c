#include "panel/service_control.h"

#include <systemd/sd-bus.h>

#include "platform/session_bus.h"
#include "server/remote_control.h"
#include "settings/server_client.h"

namespace quillon {

namespace {

constexpr char kUnit[] = "quillon-server.service";

// StartUnit or StopUnit of the user manager; false when there is none on this bus or it
// refused (the unit is not installed, say).
bool askUserManager(const char *method) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    sd_bus_error error{};
    sd_bus_message *call = nullptr, *reply = nullptr;
    // Only a manager already on the bus: activating one for this call is not ours to do.
    const bool done = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                                     "org.freedesktop.systemd1.Manager", method) >= 0 &&
                      sd_bus_message_append(call, "ss", kUnit, "replace") >= 0 &&
                      sd_bus_message_set_auto_start(call, 0) >= 0 && sd_bus_call(bus, call, 0, &error, &reply) >= 0;
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return done;
}

}  // namespace

bool startServer() {
    if (askUserManager("StartUnit")) return true;
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    // Activation may take as long as the server takes to claim its name: do not wait for it.
    return sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "StartServiceByName", nullptr, nullptr, "su",
                                    RemoteControl::kName, 0u) >= 0;
}

bool stopServer() { return askUserManager("StopUnit") || ServerClient::quit(); }

}  // namespace quillon
