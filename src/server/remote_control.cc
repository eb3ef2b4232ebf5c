#include "server/remote_control.h"

#include <systemd/sd-bus.h>

#include "platform/log.h"
#include "platform/session_bus.h"
#include "server/trash_server.h"

namespace quillon {

namespace {

int versionString(sd_bus_message *message, void *userdata, sd_bus_error *) {
    const auto version = static_cast<TrashServer *>(userdata)->versionString();
    return sd_bus_reply_method_return(message, "s", version.value_or("").c_str());
}

int quit(sd_bus_message *message, void *userdata, sd_bus_error *) {
    static_cast<TrashServer *>(userdata)->quit();
    // One-way: a caller that asked for no reply gets none; one that waits is not kept waiting.
    return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("versionString", "", "s", versionString, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("quit", "", "", quit, SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
    SD_BUS_VTABLE_END,
};

}  // namespace

bool RemoteControl::registerName() {
    sd_bus *bus = SessionBus::shared();
    if (bus && sd_bus_add_object_vtable(bus, &object_, kPath, kInterface, kVtable, &server_) >= 0 &&
        sd_bus_request_name(bus, kName, 0) >= 0) {
        named_ = true;
        return true;
    }
    object_ = sd_bus_slot_unref(object_);
    logMessage("registring name '%s' with NSConnection failed", kName);
    return false;
}

void RemoteControl::invalidate() {
    if (named_) (void)sd_bus_release_name(SessionBus::shared(), kName);
    named_ = false;
    object_ = sd_bus_slot_unref(object_);
}

}  // namespace quillon
