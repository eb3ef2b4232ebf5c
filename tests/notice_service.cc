// A desktop notification service for tests: owns org.freedesktop.Notifications on the session
// bus and appends each notice it is sent to the file given as its argument, as
// "summary|body" records separated by a line "--". Creates FILE.ready once it owns the name.
// Usage: notice-service FILE [body-markup]; with body-markup, it says it reads markup.
#include <systemd/sd-bus.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace {

std::string record;
bool markup = false;

int notify(sd_bus_message *message, void *, sd_bus_error *) {
    const char *app, *icon, *summary, *body;
    uint32_t replaces;
    if (sd_bus_message_read(message, "susss", &app, &replaces, &icon, &summary, &body) < 0) return -EINVAL;
    std::ofstream(record, std::ios::app) << summary << "|" << body << "\n--\n";
    static uint32_t id = 0;
    return sd_bus_reply_method_return(message, "u", ++id);
}

int capabilities(sd_bus_message *message, void *, sd_bus_error *) {
    return markup ? sd_bus_reply_method_return(message, "as", 2, "body", "body-markup")
                  : sd_bus_reply_method_return(message, "as", 1, "body");
}

int information(sd_bus_message *message, void *, sd_bus_error *) {
    return sd_bus_reply_method_return(message, "ssss", "notice-recorder", "quillon tests", "1", "1.2");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, 0),
    SD_BUS_METHOD("GetCapabilities", "", "as", capabilities, 0),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", information, 0),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    record = argv[1];
    markup = argc > 2 && std::string(argv[2]) == "body-markup";
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
