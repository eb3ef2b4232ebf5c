#include "bus/run_loop.h"

#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cstring>

#include "base/log.h"

namespace quillon {

RunLoop &RunLoop::main() {
    static RunLoop loop;
    return loop;
}

RunLoop::RunLoop() {
    if (sd_event_new(&event_) < 0) event_ = nullptr;
}

RunLoop::~RunLoop() {
    for (auto &[signal, entry] : signals_) sd_event_source_disable_unref(entry.first);
    if (event_) sd_event_unref(event_);
}

void RunLoop::run() {
    if (!event_) return;
    if (stopRequested_) {
        stopRequested_ = false;
        // Let signals that are already waiting (a quit sent before start) be seen first.
        (void)sd_event_exit(event_, 0);
    }
    const int r = sd_event_loop(event_);
    if (r < 0) logMessage("event loop failed: %s", strerror(-r));
}

void RunLoop::runUntil(const std::function<bool()> &done) {
    if (!event_) return;
    while (!done() && sd_event_get_state(event_) != SD_EVENT_FINISHED)
        if (sd_event_run(event_, UINT64_MAX) < 0) return;
}

void RunLoop::stop() {
    if (!event_) return;
    if (sd_event_get_state(event_) == SD_EVENT_INITIAL) {
        stopRequested_ = true;
        return;
    }
    (void)sd_event_exit(event_, 0);
}

bool RunLoop::addSignalHandler(int signal, std::function<void()> handler) {
    if (!event_) return false;
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, signal);
    if (sigprocmask(SIG_BLOCK, &mask, nullptr) != 0) return false;  // sd-event needs it blocked
    auto &entry = signals_[signal];
    entry.second = std::move(handler);
    auto callback = [](sd_event_source *, const struct signalfd_siginfo *, void *userdata) -> int {
        (*static_cast<std::function<void()> *>(userdata))();
        return 0;
    };
    const int r = sd_event_add_signal(event_, &entry.first, signal, callback, &entry.second);
    if (r < 0) {
        logMessage("could not handle signal %d: %s", signal, strerror(-r));
        signals_.erase(signal);
        return false;
    }
    return true;
}

bool RunLoop::attachBus(sd_bus *bus) {
    if (!event_ || !bus) return false;
    if (sd_bus_attach_event(bus, event_, SD_EVENT_PRIORITY_NORMAL) < 0) return false;
    // Keep the connection open when the loop ends: the shutdown still posts on it.
    (void)sd_bus_set_close_on_exit(bus, 0);
    return true;
}

void RunLoop::detachBus(sd_bus *bus) {
    if (bus) (void)sd_bus_detach_event(bus);
}

}  // namespace quillon
