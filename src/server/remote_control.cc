#include "server/remote_control.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "bus/session_bus.h"
#include "env/environment.h"
#include "client/server_client.h"
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

// Appends `paths` (or reasons) to `reply` as one array of strings, each in the escaped form of escapedText:
// a D-Bus string must be valid UTF-8, and a name in Latin-1 is a name like any other.
int appendPaths(sd_bus_message *reply, const std::vector<std::string> &paths) {
    int r = sd_bus_message_open_container(reply, 'a', "s");
    for (const std::string &path : paths)
        if (r >= 0) r = sd_bus_message_append(reply, "s", escapedText(path).c_str());
    return r >= 0 ? sd_bus_message_close_container(reply) : r;
}

// Answered later, when a cycle that starts after the call has ended; the loop serves other
// calls meanwhile. A call still unanswered when the server goes is dropped with its message.
int purgeNow(sd_bus_message *message, void *userdata, sd_bus_error *) {
    std::shared_ptr<sd_bus_message> call(sd_bus_message_ref(message), sd_bus_message_unref);
    static_cast<TrashServer *>(userdata)->purgeNow([call](const CycleReport &report) {
        sd_bus_message *reply = nullptr;
        int r = sd_bus_message_new_method_return(call.get(), &reply);
        if (r >= 0) r = appendPaths(reply, report.deleted);
        if (r >= 0) r = appendPaths(reply, report.failed);
        if (r >= 0) r = appendPaths(reply, report.reasons);
        if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
        sd_bus_message_unref(reply);
        if (r < 0) logMessage("could not answer purgeNow: %s", strerror(-r));
    });
    return 1;
}

bool readPaths(sd_bus_message *message, std::vector<std::string> &names) {
    if (sd_bus_message_enter_container(message, 'a', "s") < 0) return false;
    const char *name = nullptr;
    int r;
    while ((r = sd_bus_message_read(message, "s", &name)) > 0) names.emplace_back(name);
    return r >= 0 && sd_bus_message_exit_container(message) >= 0;
}

int nextCycleDate(sd_bus_message *message, void *userdata, sd_bus_error *) {
    const auto date = static_cast<TrashServer *>(userdata)->nextCycleDate();
    return sd_bus_reply_method_return(message, "d", date ? date->unixSeconds() : 0.0);
}

// Keep(names, dueWithin, forSeconds): keeps the items of those names in any trash folder and,
// with dueWithin >= 0, every item due within that many seconds, for forSeconds (> 0) from now.
// Answers how many records it set once they are saved (after a running cycle).
int keep(sd_bus_message *message, void *userdata, sd_bus_error *error) {
    std::vector<std::string> names;
    int64_t dueWithin = 0, forSeconds = 0;
    if (!readPaths(message, names) || sd_bus_message_read(message, "xx", &dueWithin, &forSeconds) < 0)
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "Keep takes as names, x dueWithin, x forSeconds");
    constexpr int64_t kTenYears = 10ll * 366 * 86400;  // beyond that a date no longer means a keep
    if (forSeconds <= 0 || forSeconds > kTenYears || dueWithin > kTenYears)
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS, "forSeconds must be positive, both at most ten years");
    auto *server = static_cast<TrashServer *>(userdata);
    const CalendarDate now = Environment::current().now();
    std::shared_ptr<sd_bus_message> call(sd_bus_message_ref(message), sd_bus_message_unref);
    server->keep({{}, std::move(names), dueWithin >= 0 ? std::optional<double>(static_cast<double>(dueWithin)) : std::nullopt,
                  now.dateByAddingInterval(std::chrono::seconds(forSeconds))},
                 [call](size_t count) {
                     const int r = sd_bus_reply_method_return(call.get(), "u", static_cast<uint32_t>(count));
                     if (r < 0) logMessage("could not answer Keep: %s", strerror(-r));
                 });
    return 1;
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("versionString", "", "s", versionString, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("quit", "", "", quit, SD_BUS_VTABLE_UNPRIVILEGED | SD_BUS_VTABLE_METHOD_NO_REPLY),
    SD_BUS_METHOD("purgeNow", "", "asasas", purgeNow, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("nextCycleDate", "", "d", nextCycleDate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Keep", "asxx", "u", keep, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

bool RemoteControl::registerName() {
    sd_bus *bus = SessionBus::shared();
    if (bus && sd_bus_add_object_vtable(bus, &object_, kServerPath, kServerInterface, kVtable, &server_) >= 0 &&
        sd_bus_request_name(bus, kServerName, 0) >= 0) {
        named_ = true;
        return true;
    }
    object_ = sd_bus_slot_unref(object_);
    logMessage("registring name '%s' with NSConnection failed", kServerName);
    return false;
}

void RemoteControl::invalidate() {
    if (named_) (void)sd_bus_release_name(SessionBus::shared(), kServerName);
    named_ = false;
    object_ = sd_bus_slot_unref(object_);
}

}  // namespace quillon
