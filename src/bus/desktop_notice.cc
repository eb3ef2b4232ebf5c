#include "bus/desktop_notice.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <memory>

#include "base/log.h"
#include "bus/session_bus.h"

namespace quillon {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kObject[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";

// What the daemon said it can do. A daemon that does not say (none runs yet, or it is slow)
// is taken to read markup: escaped text shows at worst an entity, unescaped text a link; and
// to take no actions, which only costs the buttons. The daemon may be replaced at any time,
// so it is asked for each notice; never started for this.
struct Capabilities {
    bool markup = true;
    bool actions = false;
};
// Waiting blocks the caller only where no loop takes the answer; there the wait is short.
constexpr uint64_t kPatienceUsec = 1'000'000;
// Asked from a loop, nothing waits: the daemon may take the bus's usual time to answer, so a
// slow daemon still gets the notice it can show.
constexpr uint64_t kLoopPatienceUsec = 25'000'000;

Capabilities readCapabilities(sd_bus_message *reply) {
    bool markup = false, actions = false;
    if (!reply || sd_bus_message_is_method_error(reply, nullptr) || sd_bus_message_enter_container(reply, 'a', "s") < 0)
        return {};
    const char *capability = nullptr;
    int r;
    while ((r = sd_bus_message_read(reply, "s", &capability)) > 0) {
        markup = markup || strcmp(capability, "body-markup") == 0;
        actions = actions || strcmp(capability, "actions") == 0;
    }
    if (r < 0) return {};
    return {markup, actions};
}

int newCapabilitiesCall(sd_bus *bus, sd_bus_message **call) {
    int r = sd_bus_message_new_method_call(bus, call, kService, kObject, kInterface, "GetCapabilities");
    if (r >= 0) r = sd_bus_message_set_auto_start(*call, 0);
    return r;
}

std::string markupEscaped(const std::string &text) {
    std::string out;
    for (char c : text) out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    return out;
}

struct Notice {
    std::string summary, body;
    std::vector<NoticeAction> actions;
    std::function<void(uint32_t)> sent;
};

// A call's slot owns its notice: freed when the call is answered, and also when the bus closes
// with the answer still out.
int callAsync(sd_bus *bus, sd_bus_message *call, sd_bus_message_handler_t answered, std::unique_ptr<Notice> notice,
              uint64_t usec) {
    sd_bus_slot *slot = nullptr;
    const int r = sd_bus_call_async(bus, &slot, call, answered, notice.get(), usec);
    if (r < 0) return r;
    sd_bus_slot_set_destroy_callback(slot, [](void *userdata) { delete static_cast<Notice *>(userdata); });
    (void)notice.release();
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    return r;
}

int notifyAnswered(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    const Notice *notice = static_cast<const Notice *>(userdata);
    uint32_t id = 0;
    if (!sd_bus_message_is_method_error(reply, nullptr) && sd_bus_message_read(reply, "u", &id) > 0) notice->sent(id);
    return 0;
}

bool sendNotice(sd_bus *bus, std::unique_ptr<Notice> notice, const Capabilities &can) {
    const std::string text = can.markup ? markupEscaped(notice->body) : notice->body;
    const bool withActions = can.actions && !notice->actions.empty();
    sd_bus_message *call = nullptr;
    // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout).
    int r = sd_bus_message_new_method_call(bus, &call, kService, kObject, kInterface, "Notify");
    if (r >= 0)
        r = sd_bus_message_append(call, "susss", "Quillon", 0u, "user-trash-full", notice->summary.c_str(), text.c_str());
    if (r >= 0) r = sd_bus_message_open_container(call, 'a', "s");
    if (withActions)
        for (const NoticeAction &action : notice->actions)
            if (r >= 0) r = sd_bus_message_append(call, "ss", action.key.c_str(), action.label.c_str());
    if (r >= 0) r = sd_bus_message_close_container(call);
    if (r >= 0)
        r = sd_bus_message_append(call, "a{sv}i", 2, "desktop-entry", "s", "local.vantor.quillon.panel", "urgency", "y", 0, -1);
    if (withActions && notice->sent) {
        // The id comes back as the answer, taken from the processing of the bus.
        if (r >= 0) r = callAsync(bus, call, notifyAnswered, std::move(notice), 0);
    } else {
        // No reply is awaited: the run loop never waits on a daemon that is slow or absent.
        if (r >= 0) r = sd_bus_message_set_expect_reply(call, 0);
        if (r >= 0) r = sd_bus_send(bus, call, nullptr);
    }
    if (r >= 0) r = sd_bus_flush(bus);
    sd_bus_message_unref(call);
    if (r < 0) logMessage("could not send the desktop notice \"%s\": %s", notice ? notice->summary.c_str() : "", strerror(-r));
    return r >= 0;
}

int capabilitiesAnswered(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    (void)sendNotice(sd_bus_message_get_bus(reply), std::make_unique<Notice>(*static_cast<const Notice *>(userdata)),
                     readCapabilities(reply));
    return 0;
}

}  // namespace

bool sendDesktopNotice(const std::string &summary, const std::string &body) { return sendDesktopNotice(summary, body, {}, {}); }

bool sendDesktopNotice(const std::string &summary, const std::string &body, const std::vector<NoticeAction> &actions,
                       std::function<void(uint32_t)> sent) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    auto notice = std::make_unique<Notice>(Notice{summary, body, actions, std::move(sent)});
    sd_bus_message *call = nullptr, *reply = nullptr;
    int r = newCapabilitiesCall(bus, &call);
    if (sd_bus_get_event(bus)) {
        // Asked without waiting; the answer (or the timeout's error) sends the notice.
        auto copy = std::make_unique<Notice>(*notice);
        if (r >= 0) r = callAsync(bus, call, capabilitiesAnswered, std::move(copy), kLoopPatienceUsec);
        sd_bus_message_unref(call);
        return r >= 0 || sendNotice(bus, std::move(notice), {});
    }
    sd_bus_error error{};
    if (r >= 0) r = sd_bus_call(bus, call, kPatienceUsec, &error, &reply);
    const Capabilities can = r >= 0 ? readCapabilities(reply) : Capabilities{};
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return sendNotice(bus, std::move(notice), can);
}

namespace {

int actionInvoked(sd_bus_message *message, void *userdata, sd_bus_error *) {
    uint32_t id = 0;
    const char *key = nullptr;
    if (sd_bus_message_read(message, "us", &id, &key) > 0 && key)
        (*static_cast<std::function<void(uint32_t, const std::string &)> *>(userdata))(id, key);
    return 0;
}

}  // namespace

NoticeActionListener::NoticeActionListener(std::function<void(uint32_t, const std::string &)> invoked)
    : invoked_(std::move(invoked)) {
    if (sd_bus *bus = SessionBus::shared())
        if (const int r = sd_bus_match_signal(bus, &slot_, nullptr, kObject, kInterface, "ActionInvoked", actionInvoked, &invoked_);
            r < 0)
            logMessage("cannot hear the actions of desktop notices: %s", strerror(-r));
}

NoticeActionListener::~NoticeActionListener() { sd_bus_slot_unref(slot_); }

}  // namespace quillon
