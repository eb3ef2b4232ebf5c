#include "private_bus.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>

#include "bus/notification_center.h"
#include "bus/session_bus.h"

extern char **environ;

namespace quillon::testing {

// A client connection to the bus at `address`, or null.
static sd_bus *connectTo(const std::string &address) {
    sd_bus *bus = nullptr;
    if (sd_bus_new(&bus) < 0) return nullptr;
    sd_bus_set_address(bus, address.c_str());
    sd_bus_set_bus_client(bus, 1);
    return sd_bus_start(bus) < 0 ? sd_bus_unref(bus) : bus;
}

PrivateBus::PrivateBus() {
    if (const char *old = getenv("DBUS_SESSION_BUS_ADDRESS")) hadAddress_ = true, savedAddress_ = old;

    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);  // first: it may be descriptor 3 itself
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    const char *argv[] = {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=3", nullptr};
    const int r = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, const_cast<char **>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (r != 0) pid_ = -1;
    char buffer[512];
    std::string line;
    ssize_t n;
    while (line.find('\n') == std::string::npos && (n = read(fds[0], buffer, sizeof buffer)) > 0) line.append(buffer, n);
    close(fds[0]);
    if (line.find('\n') == std::string::npos) return;
    address_ = line.substr(0, line.find('\n'));
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
    DistributedNotificationCenter::defaultCenter().removeAllObservers();
    SessionBus::reset();
}

PrivateBus::~PrivateBus() {
    DistributedNotificationCenter::defaultCenter().removeAllObservers();
    SessionBus::reset();
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (hadAddress_) setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress_.c_str(), 1);
    else unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

NotificationListener::NotificationListener(const std::string &address) : bus_(connectTo(address)) {
    if (!bus_) return;
    auto handler = [](sd_bus_message *message, void *userdata, sd_bus_error *) -> int {
        const char *name = nullptr;
        if (sd_bus_message_read(message, "s", &name) >= 0 && name)
            static_cast<std::vector<std::string> *>(userdata)->push_back(name);
        return 0;
    };
    sd_bus_add_match(bus_, nullptr,
                     "type='signal',interface='local.vantor.quillon.Notifications',member='Posted'", handler,
                     &names_);
}

NotificationListener::~NotificationListener() {
    if (bus_) sd_bus_flush_close_unref(bus_);
}

std::vector<std::string> NotificationListener::waitFor(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (bus_ && names_.size() < count) {
        const int r = sd_bus_process(bus_, nullptr);
        if (r < 0) break;
        if (r > 0) continue;
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) break;
        sd_bus_wait(bus_, std::chrono::duration_cast<std::chrono::microseconds>(left).count());
    }
    return names_;
}

void NotificationListener::post(const std::string &name) {
    if (!bus_) return;
    sd_bus_emit_signal(bus_, "/local/vantor/quillon", "local.vantor.quillon.Notifications", "Posted", "s",
                       name.c_str());
    sd_bus_flush(bus_);
}

SilentServer::SilentServer(const std::string &address) {
    auto swallow = [](sd_bus_message *m, void *, sd_bus_error *) -> int {
        if (sd_bus_message_is_method_call(m, nullptr, "purgeNow")) sd_bus_reply_method_errorf(m, SD_BUS_ERROR_FAILED, "stuck");
        return sd_bus_message_is_method_call(m, nullptr, nullptr);  // handled: no reply of sd-bus's own
    };
    bus_ = connectTo(address);
    if (bus_ && (sd_bus_request_name(bus_, "local.vantor.quillon.server", 0) < 0 ||
        sd_bus_add_filter(bus_, nullptr, swallow, nullptr) < 0))
        bus_ = sd_bus_flush_close_unref(bus_);
    if (bus_)
        thread_ = std::thread([this] {
            while (!stop_)
                if (sd_bus_process(bus_, nullptr) == 0) sd_bus_wait(bus_, 100'000);
        });
}

SilentServer::~SilentServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (bus_) sd_bus_flush_close_unref(bus_);
}

}  // namespace quillon::testing
