// Wakes a RunLoop from another thread: an eventfd that the loop watches. A thread that ends
// some work calls the waker; the handler then runs on the loop's thread, once for one or
// more wakes since it last ran.
#pragma once

#include <functional>
#include <memory>

typedef struct sd_event_source sd_event_source;

namespace quillon {

class RunLoop;

class LoopWakeup {
 public:
    LoopWakeup(RunLoop &loop, std::function<void()> handler);
    ~LoopWakeup();
    LoopWakeup(const LoopWakeup &) = delete;
    LoopWakeup &operator=(const LoopWakeup &) = delete;

    // False when the eventfd or its event source could not be made (logged): wakes then do
    // nothing.
    bool isValid() const { return source_ != nullptr; }
    // A call that wakes the loop, for any thread, at any time: it holds the descriptor itself,
    // so it stays harmless after this object is gone (the loop is then no longer told).
    std::function<void()> waker() const;

 private:
    static int onWake(sd_event_source *source, int fd, uint32_t events, void *userdata);

    std::shared_ptr<const int> fd_;  // closed when the last waker goes
    sd_event_source *source_ = nullptr;
    std::function<void()> handler_;
};

}  // namespace quillon
