#include "client/server_client.h"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>

#include "bus/session_bus.h"

namespace quillon {

namespace {


// How a call that ended with `error` (unset: a reply came) went. Only the bus itself saying
// that no one holds the name means the call reached nobody; a timeout, a server that went
// away before it replied, or an error it replied with leave what it did unknown.
ServerState stateAfter(const sd_bus_error *error) {
    if (!sd_bus_error_is_set(error)) return ServerState::kAnswered;
    if (sd_bus_error_has_names(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER, SD_BUS_ERROR_SERVICE_UNKNOWN))
        return ServerState::kNotRunning;
    return ServerState::kBusy;
}

// Calls `method` on the running server, never starting one, waiting up to `timeoutUsec`, and
// tells how it went: answered when `read` took the reply. Every call of the client comes here
// or, without waiting, through stateAfter.
ServerState callServer(const char *method, uint64_t timeoutUsec, const std::function<bool(sd_bus_message *)> &read,
                       ServerState *told, const std::function<int(sd_bus_message *)> &append = nullptr) {
    ServerState state = ServerState::kNotRunning;
    if (sd_bus *bus = SessionBus::shared()) {
        sd_bus_error error{};  // SD_BUS_ERROR_NULL, without a C compound literal
        sd_bus_message *call = nullptr, *reply = nullptr;
        if (sd_bus_message_new_method_call(bus, &call, kServerName, kServerPath, kServerInterface, method) >= 0 &&
            sd_bus_message_set_auto_start(call, 0) >= 0 && (!append || append(call) >= 0)) {
            const int r = sd_bus_call(bus, call, timeoutUsec, &error, &reply);
            if (r < 0 && !sd_bus_error_is_set(&error)) (void)sd_bus_error_set_errno(&error, r);
            state = stateAfter(&error);
            if (state == ServerState::kAnswered && !read(reply)) state = ServerState::kBusy;
        }
        sd_bus_message_unref(call);
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
    if (told) *told = state;
    return state;
}

bool readPaths(sd_bus_message *reply, std::vector<std::string> &paths) {
    if (sd_bus_message_enter_container(reply, 'a', "s") < 0) return false;
    const char *path = nullptr;
    int r;
    while ((r = sd_bus_message_read(reply, "s", &path)) > 0) paths.emplace_back(path);
    return r >= 0 && sd_bus_message_exit_container(reply) >= 0;
}

constexpr uint64_t kAnswerUsec = 5'000'000;

}  // namespace

std::optional<std::string> ServerClient::versionString(ServerState *state) {
    std::optional<std::string> version;
    (void)callServer(
        "versionString", kAnswerUsec,
        [&](sd_bus_message *reply) {
            const char *text = nullptr;
            if (sd_bus_message_read(reply, "s", &text) < 0 || !text) return false;
            version = text;
            return true;
        },
        state);
    return version;
}

std::optional<CalendarDate> ServerClient::nextCycleDate(ServerState *state) {
    std::optional<CalendarDate> date;
    (void)callServer(
        "nextCycleDate", kAnswerUsec,
        [&](sd_bus_message *reply) {
            double seconds = 0;
            if (sd_bus_message_read(reply, "d", &seconds) < 0 || seconds <= 0) return false;
            date = CalendarDate::fromUnixSeconds(seconds);
            return true;
        },
        state);
    return date;
}

std::optional<ServerClient::PurgeResult> ServerClient::purgeNow(ServerState *state) {
    std::optional<PurgeResult> result;
    // A secure purge of many items can take hours: wait for as long as it goes on.
    constexpr uint64_t kDay = 24ull * 3600 * 1'000'000;
    (void)callServer(
        "purgeNow", kDay,
        [&](sd_bus_message *reply) {
            PurgeResult read;
            if (!readPaths(reply, read.deleted) || !readPaths(reply, read.failed) || !readPaths(reply, read.reasons) ||
                read.reasons.size() != read.failed.size())
                return false;
            result = std::move(read);
            return true;
        },
        state);
    return result;
}

std::optional<uint32_t> ServerClient::keep(const std::vector<std::string> &names, int64_t dueWithin, int64_t forSeconds,
                                           ServerState *state) {
    std::optional<uint32_t> count;
    (void)callServer(
        "Keep", kAnswerUsec,
        [&](sd_bus_message *reply) {
            uint32_t read = 0;
            if (sd_bus_message_read(reply, "u", &read) < 0) return false;
            count = read;
            return true;
        },
        state,
        [&](sd_bus_message *call) {
            int r = sd_bus_message_open_container(call, 'a', "s");
            for (const std::string &name : names)
                if (r >= 0) r = sd_bus_message_append(call, "s", name.c_str());
            if (r >= 0) r = sd_bus_message_close_container(call);
            return r >= 0 ? sd_bus_message_append(call, "xx", dueWithin, forSeconds) : r;
        });
    return count;
}

namespace {

using PurgeDone = std::function<void(ServerState, std::optional<ServerClient::PurgeResult>)>;

int purgeAnswered(sd_bus_message *reply, void *userdata, sd_bus_error *) {
    std::unique_ptr<PurgeDone> done(static_cast<PurgeDone *>(userdata));
    const ServerState state = stateAfter(sd_bus_message_get_error(reply));
    ServerClient::PurgeResult read;
    if (state == ServerState::kAnswered && readPaths(reply, read.deleted) && readPaths(reply, read.failed) &&
        readPaths(reply, read.reasons) && read.reasons.size() == read.failed.size())
        (*done)(state, std::move(read));
    else
        (*done)(state == ServerState::kAnswered ? ServerState::kBusy : state, std::nullopt);
    return 0;
}

}  // namespace

bool ServerClient::purgeNowAsync(PurgeDone done) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    constexpr uint64_t kDay = 24ull * 3600 * 1'000'000;
    sd_bus_message *call = nullptr;
    auto callback = std::make_unique<PurgeDone>(std::move(done));
    // The slot is floating: it lives until the answer (or the timeout) has been handled.
    const bool sent = sd_bus_message_new_method_call(bus, &call, kServerName, kServerPath, kServerInterface, "purgeNow") >= 0 &&
                      sd_bus_message_set_auto_start(call, 0) >= 0 &&
                      sd_bus_call_async(bus, nullptr, call, purgeAnswered, callback.get(), kDay) >= 0;
    sd_bus_message_unref(call);
    if (sent) (void)callback.release();
    return sent;
}

bool ServerClient::isRunning() {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    sd_bus_error error{};
    sd_bus_message *reply = nullptr;
    int has_owner = 0;
    if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                           "NameHasOwner", &error, &reply, "s", kServerName) >= 0)
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
    const bool sent = sd_bus_message_new_method_call(bus, &call, kServerName, kServerPath, kServerInterface, "quit") >= 0 &&
                      sd_bus_message_set_expect_reply(call, 0) >= 0 && sd_bus_message_set_auto_start(call, 0) >= 0 &&
                      sd_bus_send(bus, call, nullptr) >= 0 && sd_bus_flush(bus) >= 0;
    sd_bus_message_unref(call);
    return sent;
}

}  // namespace quillon
