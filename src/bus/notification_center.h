// Distributed notifications: names broadcast to every process of the user's session.
//
// A notification is the D-Bus signal local.vantor.quillon.Notifications.Posted, sent from the
// object /local/vantor/quillon with the name as its one string argument; observers match on
// interface, member and that argument. Observers are called while the session bus connection
// is processed (by the event loop it is attached to).
#pragma once

#include <functional>
#include <map>
#include <string>

typedef struct sd_bus_slot sd_bus_slot;

namespace quillon {

class DistributedNotificationCenter {
 public:
    using ObserverId = int;

    static DistributedNotificationCenter &defaultCenter();

    // Broadcasts `name` and flushes it out. Without a session bus, does nothing but log "no
    // session bus: notifications are not posted", once, unless told not to: a tool that says
    // what the missing bus means in its own words turns that off.
    void postNotificationName(const std::string &name);
    void setReportsMissingBus(bool reports) { reportsMissingBus_ = reports; }
    // Calls `callback` for every notification `name` from any sender. Returns 0 when it cannot
    // observe: no session bus, or the bus refused the match (logged).
    ObserverId addObserver(const std::string &name, std::function<void()> callback);
    void removeObserver(ObserverId id);
    // Forgets every observer (their bus connection is going away).
    void removeAllObservers();

 private:
    struct Observer {
        std::function<void()> callback;
        sd_bus_slot *slot;
    };
    std::map<ObserverId, Observer> observers_;
    ObserverId next_ = 1;
    bool reportsMissingBus_ = true;
};

}  // namespace quillon
