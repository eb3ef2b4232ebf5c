// A desktop notification service for tests: owns org.freedesktop.Notifications on the session
// bus and appends each notice it is sent to the file given as its argument, as
// "summary|body" records separated by a line "--" (a notice with actions: "summary|body|keys|#id").
// Creates FILE.ready once it owns the name. Usage: notice-service FILE [body-markup] [actions]:
// the capabilities it claims. Invoke(u id, s key) on its object makes it emit ActionInvoked.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string record;
bool markup = false, actions = false;

int notify(sd_bus_message *message, void *, sd_bus_error *) {
    const char *app, *icon, *summary, *body;
    uint32_t replaces;
    if (sd_bus_message_read(message, "susss", &app, &replaces, &icon, &summary, &body) < 0 ||
        sd_bus_message_enter_container(message, 'a', "s") < 0)
        return -EINVAL;
    static uint32_t id = 0;
    std::string keys;
    for (const char *key, *label; sd_bus_message_read(message, "ss", &key, &label) > 0;) keys += (keys.empty() ? "" : ",") + std::string(key);
    if (!keys.empty()) keys = "|" + keys + "|#" + std::to_string(id + 1);
    std::ofstream(record, std::ios::app) << summary << "|" << body << keys << "\n--\n";
    return sd_bus_reply_method_return(message, "u", ++id);
}

int capabilities(sd_bus_message *message, void *, sd_bus_error *) {
    sd_bus_message *reply = nullptr;
    int r = sd_bus_message_new_method_return(message, &reply);
    if (r >= 0) r = sd_bus_message_append(reply, "as", 1 + markup + actions, "body", markup ? "body-markup" : "actions", "actions");
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r;
}

int invoke(sd_bus_message *message, void *, sd_bus_error *) {
    uint32_t id;
    const char *key;
    if (sd_bus_message_read(message, "us", &id, &key) < 0) return -EINVAL;
    sd_bus_emit_signal(sd_bus_message_get_bus(message), "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                       "ActionInvoked", "us", id, key);
    return sd_bus_reply_method_return(message, "");
}

int information(sd_bus_message *message, void *, sd_bus_error *) {
    return sd_bus_reply_method_return(message, "ssss", "notice-recorder", "quillon tests", "1", "1.2");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, 0),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", information, 0),
    SD_BUS_METHOD("Invoke", "us", "", invoke, 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    record = argv[1];
    for (int i = 2; i < argc; i++) {
        markup = markup || std::string(argv[i]) == "body-markup";
        actions = actions || std::string(argv[i]) == "actions";
    }
    sd_bus *bus = nullptr;
    if (sd_bus_open_user(&bus) < 0 ||
        sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                 kVtable, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.freedesktop.Notifications", 0) < 0)
        return 1;
    std::ofstream(record + ".ready");
    for (;;) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) return 0;  // the bus went away
        if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) return 0;
    }
}
