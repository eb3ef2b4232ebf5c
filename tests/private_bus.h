// A private D-Bus session bus for tests: a real dbus-daemon, made the process's session bus
// while the object lives.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

typedef struct sd_bus sd_bus;

namespace quillon::testing {

class PrivateBus {
 public:
    PrivateBus();  // starts dbus-daemon; ok() tells whether it runs
    ~PrivateBus();
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;

    bool ok() const { return !address_.empty(); }
    const std::string &address() const { return address_; }

 private:
    pid_t pid_ = -1;
    std::string address_;
    std::string savedAddress_;
    bool hadAddress_ = false;
};

// Another connection to the bus at `address` that records every distributed notification.
class NotificationListener {
 public:
    explicit NotificationListener(const std::string &address);
    ~NotificationListener();
    // Processes the bus until `count` notifications have arrived or `timeout` has passed, and
    // returns the names received so far, in order.
    std::vector<std::string> waitFor(size_t count, std::chrono::milliseconds timeout);
    // Broadcasts a notification from this connection, as another process would.
    void post(const std::string &name);

 private:
    sd_bus *bus_ = nullptr;
    std::vector<std::string> names_;
};

// Another connection that holds the server's name on the bus at `address` but does not
// answer, as a server deep in a long secure purge or stuck: every call to it stays
// unanswered, except purgeNow, which it fails (a server that went wrong mid-purge). It takes
// calls in on a thread of its own while it lives.
class SilentServer {
 public:
    explicit SilentServer(const std::string &address);
    ~SilentServer();
    bool ok() const { return bus_ != nullptr; }

 private:
    sd_bus *bus_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace quillon::testing
