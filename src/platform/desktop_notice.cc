#include "platform/desktop_notice.h"

#include <systemd/sd-bus.h>

#include "platform/session_bus.h"

namespace quillon {

bool sendDesktopNotice(const std::string &summary, const std::string &body) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    sd_bus_message *call = nullptr;
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout).
    int r = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                                           "org.freedesktop.Notifications", "Notify");
    if (r >= 0)
        r = sd_bus_message_append(call, "susssasa{sv}i", "Quillon", 0u, "user-trash-full", summary.c_str(), body.c_str(),
                                  0, 2, "desktop-entry", "s", "local.vantor.quillon.panel", "urgency", "y", 0, -1);
    // No reply is awaited: the run loop never waits on a daemon that is slow or absent.
    if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0) r = sd_bus_send(bus, call, nullptr);
    if (r >= 0) r = sd_bus_flush(bus);
    sd_bus_message_unref(call);
    return r >= 0;
}

}  // namespace quillon
