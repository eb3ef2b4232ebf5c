#include "platform/blocking_work.h"

#include <signal.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int64_t> normalPatienceMs{10000};
std::atomic<int64_t> quittingPatienceMs{3000};

thread_local std::atomic<uint64_t> *currentCounter = nullptr;
void (*progressHook)() = nullptr;
std::atomic<int> abandonedRunning{0};

// What the waiting thread and one work's thread share; it lives as long as either needs it.
struct Shared {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool abandoned = false;
    std::atomic<uint64_t> progress{0};
};

bool quitPending() {
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    return sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1 ||
           sigismember(&pending, SIGHUP) == 1;
}

struct Watched {
    std::shared_ptr<Shared> shared;
    std::thread thread;
    uint64_t lastProgress = 0;
    Clock::time_point lastChange;
    bool settled = false;  // finished or given up on
    bool finished = false;
};

}  // namespace

void noteProgress() {
    if (currentCounter) currentCounter->fetch_add(1, std::memory_order_relaxed);
    else if (progressHook) progressHook();
}

void setProgressHook(void (*hook)()) {
    currentCounter = nullptr;
    progressHook = hook;
}

std::chrono::milliseconds currentPatience() {
    return std::chrono::milliseconds(quitPending() ? quittingPatienceMs.load() : normalPatienceMs.load());
}

std::atomic<uint64_t> *progressCounter() { return currentCounter; }

bool abandonedWorkRuns() { return abandonedRunning.load() > 0; }

void setPatience(std::chrono::milliseconds normal, std::chrono::milliseconds quitting) {
    normalPatienceMs = normal.count();
    quittingPatienceMs = quitting.count();
}

std::vector<bool> runPatiently(std::vector<BlockingWork> works) {
    std::vector<Watched> watched(works.size());
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < works.size(); i++) {
        Watched &w = watched[i];
        auto running = works[i].running;
        if (running && running->exchange(true)) {
            w.settled = true;  // still blocked since an earlier run
            continue;
        }
        w.shared = std::make_shared<Shared>();
        w.lastChange = start;
        w.thread = std::thread([shared = w.shared, running, work = std::move(works[i].work)] {
            currentCounter = &shared->progress;
            work();
            currentCounter = nullptr;
            if (running) running->store(false);
            std::lock_guard<std::mutex> hold(shared->mutex);
            shared->done = true;
            if (shared->abandoned) abandonedRunning--;
            shared->finished.notify_all();
        });
    }

    for (;;) {
        bool waiting = false;
        const auto patience = currentPatience();
        for (Watched &w : watched) {
            if (w.settled) continue;
            {
                std::unique_lock<std::mutex> hold(w.shared->mutex);
                // Short waits, so that progress, a pending quit and the other works are seen.
                w.shared->finished.wait_for(hold, std::chrono::milliseconds(20), [&] { return w.shared->done; });
                if (w.shared->done) {
                    hold.unlock();
                    w.thread.join();
                    w.settled = w.finished = true;
                    continue;
                }
            }
            const uint64_t progress = w.shared->progress.load();
            const Clock::time_point now = Clock::now();
            if (progress != w.lastProgress) {
                w.lastProgress = progress;
                w.lastChange = now;
            } else if (now - w.lastChange >= patience) {
                std::unique_lock<std::mutex> hold(w.shared->mutex);
                if (!w.shared->done) {
                    w.shared->abandoned = true;
                    abandonedRunning++;
                    hold.unlock();
                    w.thread.detach();  // left to finish whenever its file system answers
                    w.settled = true;
                    continue;
                }
            }
            waiting = true;
        }
        if (!waiting) break;
    }
    std::vector<bool> finished;
    finished.reserve(watched.size());
    for (const Watched &w : watched) finished.push_back(w.finished);
    return finished;
}

bool runPatiently(std::function<void()> work, std::shared_ptr<std::atomic<bool>> running) {
    std::vector<BlockingWork> works;
    works.push_back({std::move(work), std::move(running)});
    return runPatiently(std::move(works))[0];
}

}  // namespace quillon
