// The process's main loop: an sd-event loop that also serves the session bus and delivers
// signals as ordinary events (through signalfd, never in a signal handler).
#pragma once

#include <functional>
#include <map>

typedef struct sd_event sd_event;
typedef struct sd_event_source sd_event_source;
typedef struct sd_bus sd_bus;

namespace quillon {

class RunLoop {
 public:
    // The loop of the main thread, made on first use.
    static RunLoop &main();

    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop &) = delete;
    RunLoop &operator=(const RunLoop &) = delete;

    sd_event *event() const { return event_; }

    // Runs until stop(). A stop asked for while a handler runs takes effect when that handler
    // returns; a stop asked for before run() makes run() return at once.
    void run();
    void stop();
    // Serves the loop's events until `done` holds (asked before each), for a caller that
    // waits on the loop for one outcome; a loop that was stopped serves nothing.
    void runUntil(const std::function<bool()> &done);

    // Blocks `signal` for the whole process (children inherit the mask: unblock before exec)
    // and calls `handler` from the loop each time it arrives. A signal that arrives before the
    // loop runs waits, blocked, and is handled when it starts.
    bool addSignalHandler(int signal, std::function<void()> handler);

    // Serves `bus` from this loop; the connection stays open after the loop ends.
    bool attachBus(sd_bus *bus);
    void detachBus(sd_bus *bus);

 private:
    sd_event *event_ = nullptr;
    bool stopRequested_ = false;
    std::map<int, std::pair<sd_event_source *, std::function<void()>>> signals_;
};

}  // namespace quillon
