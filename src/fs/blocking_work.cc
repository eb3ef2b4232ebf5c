#include "fs/blocking_work.h"

#include <algorithm>
#include <condition_variable>

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

void (*progressHook)() = nullptr;  // in a child of child_work.h
std::atomic<int> abandonedRunning{0};

// One work's side of the progress: written by its thread (and by the threads of work it waits
// for), read by whoever waits for it. It lives as long as either needs it.
struct Task {
    std::shared_ptr<Task> parent;    // the work whose thread started this one: its steps are the parent's too
    std::shared_ptr<QuitFlag> quit;  // passed on to the work this one waits for
    // Steps made: noteProgress() calls here and in work below, and what the secure deletion
    // engine counts directly.
    std::atomic<uint64_t> counted{0};
};

thread_local std::shared_ptr<Task> currentTask;

// The patience of a wait under `quit` (may be null): the quitting one once it is raised.
std::chrono::milliseconds patienceUnder(const QuitFlag *quit) {
    const Patience patience = quit ? quit->patience() : Patience{};
    return quit && quit->raised() ? patience.quitting : patience.normal;
}

}  // namespace

// What a wait shares with the threads of the works it watches. `slots` is sized before any of
// them starts; `done`, `abandoned` and `events` are guarded by `mutex`, the rest is the
// waiter's own.
struct PatientWait {
    struct Slot {
        std::shared_ptr<Task> task;
        bool done = false, abandoned = false;
        std::thread thread;
        uint64_t counted = 0;
        Clock::time_point lastChange;
        bool settled = false, finished = false;  // settled: finished or given up on
    };
    std::mutex mutex;
    std::condition_variable changed;
    uint64_t events = 0;  // completions and quit requests: what wakes the waiter
    std::vector<Slot> slots;

    // Starts slot `i`'s work on a thread of its own.
    static void start(const std::shared_ptr<PatientWait> &wait, size_t i, std::function<void()> work,
                      std::shared_ptr<std::atomic<bool>> running, std::function<void()> finished);
    // Waits until every slot is settled; `quit` may be null.
    void settleAll(QuitFlag *quit);
};

void QuitFlag::raise() {
    raised_ = true;
    std::lock_guard<std::mutex> hold(mutex_);
    for (PatientWait *wait : waiting_) {
        {
            std::lock_guard<std::mutex> holdWait(wait->mutex);
            wait->events++;
        }
        wait->changed.notify_all();
    }
}

void PatientWait::start(const std::shared_ptr<PatientWait> &wait, size_t i, std::function<void()> work,
                        std::shared_ptr<std::atomic<bool>> running, std::function<void()> finished) {
    wait->slots[i].thread = std::thread([wait, i, task = wait->slots[i].task, work = std::move(work),
                                         running = std::move(running), finished = std::move(finished)]() mutable {
        currentTask = task;
        work();
        work = nullptr;  // what it holds goes before anyone hears that it ended
        currentTask = nullptr;
        if (running) running->store(false);
        bool abandoned;
        {
            std::lock_guard<std::mutex> hold(wait->mutex);
            wait->slots[i].done = true;
            abandoned = wait->slots[i].abandoned;
            wait->events++;
        }
        wait->changed.notify_all();
        if (finished) finished();
        finished = nullptr;
        if (abandoned) abandonedRunning--;
    });
}

void PatientWait::settleAll(QuitFlag *quit) {
    if (quit) {
        std::lock_guard<std::mutex> hold(quit->mutex_);
        quit->waiting_.insert(this);
    }
    std::unique_lock<std::mutex> hold(mutex);
    for (;;) {
        // Read under the mutex: a raise after this bumps `events` only once we sleep.
        const auto patience = patienceUnder(quit);
        const Clock::time_point now = Clock::now();
        // Progress wakes no one: the counts are read at half the patience at least.
        Clock::time_point deadline = now + patience / 2;
        bool waiting = false, progressed = false;
        std::vector<std::thread> ended;
        for (Slot &slot : slots) {
            if (slot.settled) continue;
            if (slot.done) {
                ended.push_back(std::move(slot.thread));
                slot.settled = slot.finished = progressed = true;
                continue;
            }
            const uint64_t counted = slot.task->counted.load();
            if (counted != slot.counted) {
                slot.counted = counted;
                slot.lastChange = now;  // it came at some moment since the last look
                progressed = true;
            }
            if (now - slot.lastChange >= patience) {
                slot.abandoned = slot.settled = true;
                abandonedRunning++;
                slot.thread.detach();  // left to finish whenever its file system answers
                continue;
            }
            deadline = std::min(deadline, slot.lastChange + patience);
            waiting = true;
        }
        if (progressed) {
            // What this thread waits for moving on is progress of the work this thread runs.
            hold.unlock();
            for (std::thread &thread : ended) thread.join();
            noteProgress();
            hold.lock();
            continue;
        }
        if (!waiting) break;
        const uint64_t seen = events;
        changed.wait_until(hold, deadline, [&] { return events != seen; });
    }
    hold.unlock();
    if (quit) {
        std::lock_guard<std::mutex> holdQuit(quit->mutex_);
        quit->waiting_.erase(this);
    }
}

void noteProgress() {
    if (progressHook) return progressHook();
    for (Task *task = currentTask.get(); task; task = task->parent.get()) task->counted.fetch_add(1);
}

void setProgressHook(void (*hook)()) {
    currentTask = nullptr;
    progressHook = hook;
}

std::chrono::milliseconds currentPatience() { return patienceUnder(currentTask ? currentTask->quit.get() : nullptr); }

std::atomic<uint64_t> *progressCounter() { return currentTask ? &currentTask->counted : nullptr; }

bool abandonedWorkRuns() { return abandonedRunning.load() > 0; }

std::vector<bool> runPatiently(std::vector<BlockingWork> works) {
    auto wait = std::make_shared<PatientWait>();
    wait->slots.resize(works.size());
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < works.size(); i++) {
        PatientWait::Slot &slot = wait->slots[i];
        slot.lastChange = start;
        if (works[i].running && works[i].running->exchange(true)) {
            slot.settled = true;  // still blocked since an earlier run
            continue;
        }
        slot.task = std::make_shared<Task>();
        slot.task->parent = currentTask;
        if (currentTask) slot.task->quit = currentTask->quit;
        PatientWait::start(wait, i, std::move(works[i].work), works[i].running, nullptr);
    }
    wait->settleAll(currentTask ? currentTask->quit.get() : nullptr);
    std::vector<bool> finished;
    finished.reserve(works.size());
    for (const PatientWait::Slot &slot : wait->slots) finished.push_back(slot.finished);
    return finished;
}

bool runPatiently(std::function<void()> work, std::shared_ptr<std::atomic<bool>> running) {
    std::vector<BlockingWork> works;
    works.push_back({std::move(work), std::move(running)});
    return runPatiently(std::move(works))[0];
}

BackgroundWork::BackgroundWork(std::function<void()> work, std::shared_ptr<QuitFlag> quit, std::function<void()> finished)
    : wait_(std::make_shared<PatientWait>()), quit_(std::move(quit)) {
    wait_->slots.resize(1);
    wait_->slots[0].task = std::make_shared<Task>();
    wait_->slots[0].task->parent = currentTask;
    wait_->slots[0].task->quit = quit_;
    PatientWait::start(wait_, 0, std::move(work), nullptr, std::move(finished));
}

BackgroundWork::~BackgroundWork() { (void)waitPatiently(); }

bool BackgroundWork::done() const {
    std::lock_guard<std::mutex> hold(wait_->mutex);
    return wait_->slots[0].done;
}

bool BackgroundWork::waitPatiently() {
    if (!settled_) {
        PatientWait::Slot &slot = wait_->slots[0];
        slot.lastChange = std::chrono::steady_clock::now();
        slot.counted = slot.task->counted.load();
        wait_->settleAll(quit_.get());
        settled_ = true;
        finished_ = slot.finished;
    }
    return finished_;
}

}  // namespace quillon
