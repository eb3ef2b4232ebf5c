#include "settings/server_client.h"

#include <systemd/sd-bus.h>

#include "platform/session_bus.h"
#include "server/remote_control.h"

namespace quillon {

namespace {
constexpr const char *kName = RemoteControl::kName;
constexpr const char *kPath = RemoteControl::kPath;
constexpr const char *kInterface = RemoteControl::kInterface;
}  // namespace

std::optional<std::string> ServerClient::versionString() {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return std::nullopt;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without a C compound literal
    sd_bus_message *reply = nullptr;
    std::optional<std::string> version;
    // Never start a server only to ask its version.
    sd_bus_message *call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, kName, kPath, kInterface, "versionString") >= 0 &&
        sd_bus_message_set_auto_start(call, 0) >= 0 && sd_bus_call(bus, call, 5'000'000, &error, &reply) >= 0) {
        const char *text = nullptr;
        if (sd_bus_message_read(reply, "s", &text) >= 0 && text) version = text;
    }
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return version;
}

namespace {

bool readPaths(sd_bus_message *reply, std::vector<std::string> &paths) {
    if (sd_bus_message_enter_container(reply, 'a', "s") < 0) return false;
    const char *path = nullptr;
    int r;
    while ((r = sd_bus_message_read(reply, "s", &path)) > 0) paths.emplace_back(path);
    return r >= 0 && sd_bus_message_exit_container(reply) >= 0;
}

}  // namespace

std::optional<ServerClient::PurgeResult> ServerClient::purgeNow() {
    sd_bus *bus = SessionBus::shared();
    if (!bus || !isRunning()) return std::nullopt;
    sd_bus_error error{};
    sd_bus_message *call = nullptr, *reply = nullptr;
    std::optional<PurgeResult> result;
    // A secure purge of many items can take hours: wait for as long as it goes on.
    constexpr uint64_t kDay = 24ull * 3600 * 1'000'000;
    if (sd_bus_message_new_method_call(bus, &call, kName, kPath, kInterface, "purgeNow") >= 0 &&
        sd_bus_message_set_auto_start(call, 0) >= 0 && sd_bus_call(bus, call, kDay, &error, &reply) >= 0) {
        PurgeResult read;
        if (readPaths(reply, read.deleted) && readPaths(reply, read.failed)) result = std::move(read);
    }
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return result;
}

bool ServerClient::isRunning() {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    sd_bus_error error{};  // SD_BUS_ERROR_NULL, without a C compound literal
    sd_bus_message *reply = nullptr;
    int has_owner = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error, &reply, "s", kName) >= 0)
        (void)sd_bus_message_read(reply, "b", &has_owner);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return has_owner != 0;
}

bool ServerClient::quit() {
    sd_bus *bus = SessionBus::shared();
    // One-way, so first make sure someone holds the name: a quit to nobody is no success.
    if (!bus || !isRunning()) return false;

    sd_bus_message *call = nullptr;
    const bool sent = sd_bus_message_new_method_call(bus, &call, kName, kPath, kInterface, "quit") >= 0 &&
                      sd_bus_message_set_expect_reply(call, 0) >= 0 && sd_bus_message_set_auto_start(call, 0) >= 0 &&
                      sd_bus_send(bus, call, nullptr) >= 0 && sd_bus_flush(bus) >= 0;
    sd_bus_message_unref(call);
    return sent;
}

}  // namespace quillon
