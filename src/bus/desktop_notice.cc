#include "bus/desktop_notice.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include "base/log.h"
#include "bus/session_bus.h"

namespace quillon {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kObject[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";

// Whether the daemon may read the body as markup. A daemon that does not say (none runs yet,
// or it is slow) is taken to: escaped text shows at worst an entity, unescaped text a link.
// The daemon may be replaced at any time, so it is asked each time; never started for this.
bool bodyTakesMarkup(sd_bus *bus) {
    constexpr uint64_t kPatienceUsec = 1'000'000;
    sd_bus_message *call = nullptr, *reply = nullptr;
    sd_bus_error error{};
    bool known = false, markup = false;
    if (sd_bus_message_new_method_call(bus, &call, kService, kObject, kInterface, "GetCapabilities") >= 0 &&
        sd_bus_message_set_auto_start(call, 0) >= 0 && sd_bus_call(bus, call, kPatienceUsec, &error, &reply) >= 0 &&
        sd_bus_message_enter_container(reply, 'a', "s") >= 0) {
        const char *capability = nullptr;
        int r;
        while ((r = sd_bus_message_read(reply, "s", &capability)) > 0) markup = markup || strcmp(capability, "body-markup") == 0;
        known = r == 0;
    }
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return markup || !known;
}

std::string markupEscaped(const std::string &text) {
    std::string out;
    for (char c : text) out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return out;
}

}  // namespace

bool sendDesktopNotice(const std::string &summary, const std::string &body) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    const std::string text = bodyTakesMarkup(bus) ? markupEscaped(body) : body;
    sd_bus_message *call = nullptr;
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout).
    int r = sd_bus_message_new_method_call(bus, &call, kService, kObject, kInterface, "Notify");
    if (r >= 0)
        r = sd_bus_message_append(call, "susssasa{sv}i", "Quillon", 0u, "user-trash-full", summary.c_str(), text.c_str(),
                                  0, 2, "desktop-entry", "s", "local.vantor.quillon.panel", "urgency", "y", 0, -1);
    // No reply is awaited: the run loop never waits on a daemon that is slow or absent.
    if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
    if (r >= 0) r = sd_bus_send(bus, call, nullptr);
    if (r >= 0) r = sd_bus_flush(bus);
    sd_bus_message_unref(call);
    if (r < 0) logMessage("could not send the desktop notice \"%s\": %s", summary.c_str(), strerror(-r));
    return r >= 0;
}

}  // namespace quillon
