#include "bus/loop_wakeup.h"

#include <sys/eventfd.h>
#include <systemd/sd-event.h>
#include <unistd.h>

#include <cstring>

#include "base/log.h"
#include "bus/run_loop.h"

namespace quillon {

LoopWakeup::LoopWakeup(RunLoop &loop, std::function<void()> handler) : handler_(std::move(handler)) {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        logMessage("could not make a wakeup for the loop: %s", strerror(errno));
        return;
    }
    fd_ = std::shared_ptr<const int>(new int(fd), [](const int *held) {
        (void)close(*held);
        delete held;
    });
    if (!loop.event()) return;
    const int r = sd_event_add_io(loop.event(), &source_, fd, EPOLLIN, onWake, this);
    if (r < 0) {
        logMessage("could not make a wakeup for the loop: %s", strerror(-r));
        source_ = nullptr;
    }
}

LoopWakeup::~LoopWakeup() {
    if (source_) sd_event_source_disable_unref(source_);
}

std::function<void()> LoopWakeup::waker() const {
    return [fd = fd_] {
        if (!fd) return;
        const uint64_t one = 1;
        (void)!write(*fd, &one, sizeof one);  // only a full counter refuses, and it wakes the loop as well
    };
}

int LoopWakeup::onWake(sd_event_source *, int fd, uint32_t, void *userdata) {
    uint64_t count;
    (void)!read(fd, &count, sizeof count);  // resets the counter: one run for all wakes so far
    static_cast<LoopWakeup *>(userdata)->handler_();
    return 0;
}

}  // namespace quillon
