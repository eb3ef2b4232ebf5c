#include "bus/notification_center.h"

#include <systemd/sd-bus.h>

#include <cstring>

#include "base/log.h"
#include "bus/session_bus.h"

namespace quillon {

namespace {

constexpr char kPath[] = "/local/vantor/quillon";
constexpr char kInterface[] = "local.vantor.quillon.Notifications";
constexpr char kMember[] = "Posted";

// Match rules quote values in single quotes; a quote inside one is written '\''.
std::string quoted(const std::string &value) {
    std::string out = "'";
    for (char c : value) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

DistributedNotificationCenter &DistributedNotificationCenter::defaultCenter() {
    static DistributedNotificationCenter center;
    return center;
}

void DistributedNotificationCenter::postNotificationName(const std::string &name) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) {
        if (reportsMissingBus_) logMessage("no session bus: notifications are not posted");
        reportsMissingBus_ = false;  // once
        return;
    }
    int r = sd_bus_emit_signal(bus, kPath, kInterface, kMember, "s", name.c_str());
    if (r >= 0) r = sd_bus_flush(bus);
    if (r < 0) logMessage("could not post \"%s\": %s", name.c_str(), strerror(-r));
}

DistributedNotificationCenter::ObserverId DistributedNotificationCenter::addObserver(const std::string &name,
                                                                                      std::function<void()> callback) {
    sd_bus *bus = SessionBus::shared();
    if (!bus) return 0;
    const ObserverId id = next_++;
    Observer &observer = observers_[id];
    observer.callback = std::move(callback);
    const std::string rule = std::string("type='signal',interface='") + kInterface + "',member='" + kMember +
                             "',arg0=" + quoted(name);
    auto handler = [](sd_bus_message *, void *userdata, sd_bus_error *) -> int {
        // Copy first: the callback may remove this very observer.
        auto run = static_cast<Observer *>(userdata)->callback;
        run();
        return 0;
    };
    const int r = sd_bus_add_match(bus, &observer.slot, rule.c_str(), handler, &observer);
    if (r < 0) {
        logMessage("could not observe \"%s\": %s", name.c_str(), strerror(-r));
        observers_.erase(id);
        return 0;
    }
    return id;
}

void DistributedNotificationCenter::removeObserver(ObserverId id) {
    auto found = observers_.find(id);
    if (found == observers_.end()) return;
    sd_bus_slot_unref(found->second.slot);
    observers_.erase(found);
}

void DistributedNotificationCenter::removeAllObservers() {
    for (auto &[id, observer] : observers_) sd_bus_slot_unref(observer.slot);
    observers_.clear();
}

}  // namespace quillon
