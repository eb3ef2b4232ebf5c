#include "client/service_control.h"

#include <systemd/sd-bus.h>

#include <functional>

#include "base/localization.h"
#include "bus/session_bus.h"
#include "client/server_client.h"

namespace quillon {

namespace {

constexpr char kUnit[] = "quillon-server.service";

enum class Answer { done, noBus, noManager, refused };

// Calls `method` of the user manager with the arguments `append` adds, and lets `read` take
// the reply. `refusal` gets the manager's error message when it refused.
Answer askUserManager(const char *method, const std::function<int(sd_bus_message *)> &append,
                      const std::function<void(sd_bus_message *)> &read = {}, std::string *refusal = nullptr) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return Answer::noBus;
    sd_bus_error error{};
    sd_bus_message *call = nullptr, *reply = nullptr;
    // Only a manager already on the bus: activating one for this call is not ours to do.
    const bool done = sd_bus_message_new_method_call(bus, &call, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                                     "org.freedesktop.systemd1.Manager", method) >= 0 &&
                      append(call) >= 0 && sd_bus_message_set_auto_start(call, 0) >= 0 &&
                      sd_bus_call(bus, call, 0, &error, &reply) >= 0;
    Answer answer = Answer::done;
    if (!done)
        answer = sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN, SD_BUS_ERROR_NAME_HAS_NO_OWNER)
                     ? Answer::noManager
                     : Answer::refused;
    if (done && read) read(reply);
    if (answer == Answer::refused && refusal) *refusal = error.message ? error.message : method;
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    return answer;
}

Answer askUserManager(const char *method, std::string *refusal = nullptr) {
    return askUserManager(method, [](sd_bus_message *call) { return sd_bus_message_append(call, "ss", kUnit, "replace"); },
                          {}, refusal);
}

// Why a change could not be made, as the user reads it; empty when it was.
std::string whyNot(Answer answer, const std::string &refusal) {
    switch (answer) {
        case Answer::done: return "";
        case Answer::noBus:
            return localizedString("there is no session bus, so no systemd user manager can be asked (run this in your "
                                   "desktop session); nothing was changed");
        case Answer::noManager:
            return localizedString("no systemd user manager answers on the session bus, so the server cannot be turned "
                                   "on or off for good here; nothing was changed");
        case Answer::refused: break;
    }
    return formatted(localizedString("the systemd user manager refused: %s"), refusal.c_str());
}

}  // namespace

std::optional<bool> serverEnabled() {
    std::string state;
    const Answer answer = askUserManager(
        "GetUnitFileState", [](sd_bus_message *call) { return sd_bus_message_append(call, "s", kUnit); },
        [&](sd_bus_message *reply) {
            const char *text = nullptr;
            if (sd_bus_message_read(reply, "s", &text) >= 0 && text) state = text;
        });
    if (answer == Answer::noBus || answer == Answer::noManager) return std::nullopt;
    // "enabled-runtime" lasts until the next boot: not for good, but on all the same.
    return state == "enabled" || state == "enabled-runtime";
}

bool enableServer(std::string &why) {
    std::string refusal;
    Answer answer = askUserManager(
        "EnableUnitFiles",
        [](sd_bus_message *call) { return sd_bus_message_append(call, "asbb", 1, kUnit, 0, 0); }, {}, &refusal);
    if (answer == Answer::done) answer = askUserManager("Reload", [](sd_bus_message *) { return 0; }, {}, &refusal);
    if (answer == Answer::done) answer = askUserManager("StartUnit", &refusal);
    why = whyNot(answer, refusal);
    return why.empty();
}

bool disableServer(std::string &why) {
    std::string refusal;
    Answer answer = askUserManager(
        "DisableUnitFiles", [](sd_bus_message *call) { return sd_bus_message_append(call, "asb", 1, kUnit, 0); }, {},
        &refusal);
    if (answer == Answer::done) answer = askUserManager("Reload", [](sd_bus_message *) { return 0; }, {}, &refusal);
    if (answer == Answer::done) (void)stopServer();
    why = whyNot(answer, refusal);
    // The administrator's link for every user is not the user's to remove.
    if (why.empty() && serverEnabled().value_or(false))
        why = localizedString("the administrator turned the server on for every user; to keep it off for you, run "
                              "'systemctl --user mask quillon-server.service'");
    return why.empty();
}

bool startServer() {
    if (askUserManager("StartUnit") == Answer::done) return true;
    sd_bus *bus = SessionBus::shared();
    if (!bus) return false;
    // Activation may take as long as the server takes to claim its name: do not wait for it.
    return sd_bus_call_method_async(bus, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                    "org.freedesktop.DBus", "StartServiceByName", nullptr, nullptr, "su",
                                    kServerName, 0u) >= 0;
}

bool stopServer() { return askUserManager("StopUnit") == Answer::done || ServerClient::quit(); }

}  // namespace quillon
