// A private D-Bus session bus for tests: a real dbus-daemon, made the process's session bus
// while the object lives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
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

}  // namespace quillon::testing
