// File work that may block for as long as a file system does not answer.
//
// A stalled NFS, sshfs or FUSE mount blocks stat, open, readdir and sync for as long as it is
// stalled, and no signal interrupts that. The run loop's thread must never be the one that
// blocks: such work runs on a thread of its own, and whoever waits for it waits only while
// the work makes progress. Work that stops making progress is abandoned: its thread runs on,
// detached, until the file system answers, and the caller goes on without its result.
//
// Ownership rule: the work runs while its caller waits, so it may read the caller's state
// until it is abandoned; once abandoned it may touch only what it owns. So a work takes its
// inputs by value and writes its results into objects it shares (std::shared_ptr) with the
// caller, which reads them only when the work finished. runPatiently's work never touches the
// trash model; a whole purge cycle, which does, runs as a BackgroundWork that owns the model
// for as long as it runs (server/trash_server.h).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace quillon {

struct PatientWait;  // one wait and the works it watches (blocking_work.cc)

// How long work may make no progress before it is given up on: `normal`, or `quitting` once
// the quit flag it runs under is raised.
struct Patience {
    std::chrono::milliseconds normal{10000};
    std::chrono::milliseconds quitting{3000};
};

// A request to quit, raised on the run loop's thread (by its quit signal handlers and by the
// quit call) and read by every wait for work started under it: once raised, they take the
// quitting patience, at once (a wait under way is woken to see it). It carries the patience
// of those waits. Shared with the work threads, which may outlive whoever raised it.
class QuitFlag {
 public:
    explicit QuitFlag(Patience patience = {}) : patience_(patience) {}
    void raise();
    bool raised() const { return raised_.load(); }
    const Patience &patience() const { return patience_; }

 private:
    friend struct PatientWait;
    const Patience patience_;
    std::atomic<bool> raised_{false};
    std::mutex mutex_;
    std::set<PatientWait *> waiting_;
};

// One piece of work, and the flag that says it is still running (set on start, cleared by
// its thread when it ends, also after the caller has given up on it). A caller that finds
// the flag still set from an earlier run knows that the file system has not answered since.
struct BlockingWork {
    std::function<void()> work;
    std::shared_ptr<std::atomic<bool>> running;  // may be null
};

// Runs every work on a thread of its own and waits until each has finished or has made no
// progress for the patience of the quit flag of the calling thread (the flag given to the
// BackgroundWork the caller runs in, passed on to nested work; none on other threads, which
// wait with the default Patience): its normal one, or its quitting one once it is raised.
// Progress is the work finishing, or a step counted on its thread (also on threads of work it
// waits for itself), by noteProgress() or in progressCounter() directly,
// as the secure deletion engine's blocks are; a step is seen when the wait next looks, at
// half the patience at most, and counts from then, so a stall is noticed between one and
// one and a half patiences after the last step. (A single call that takes longer on a busy but
// answering disk, a flush of much data, say, also looks like a stall; the work then finishes
// on its own while the cycle goes on without its result.) The caller sleeps meanwhile, woken
// by completion and by the quit flag, not by each step. Returns, per work, whether it
// finished. Works whose flag is still set are not started and count as not finished.
std::vector<bool> runPatiently(std::vector<BlockingWork> works);
// The same for one work.
bool runPatiently(std::function<void()> work, std::shared_ptr<std::atomic<bool>> running = nullptr);

// Work started on a thread of its own while the caller goes on (a whole purge cycle, while
// the run loop serves the bus). The work sees `quit` as its quit flag, and waits by its
// patience, as does waitPatiently (see runPatiently).
// `finished` runs on the work's thread once the work has returned, also when the caller has
// given up on it: it must be safe from any thread at any time (LoopWakeup::waker() is).
class BackgroundWork {
 public:
    BackgroundWork(std::function<void()> work, std::shared_ptr<QuitFlag> quit, std::function<void()> finished);
    // Waits as waitPatiently() does, unless that was done.
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork &) = delete;
    BackgroundWork &operator=(const BackgroundWork &) = delete;

    // True once the work has returned: waitPatiently() then returns true at once.
    bool done() const;
    // Waits until the work has returned, or has made no progress for the patience (as
    // runPatiently, counting from this call; progress is its own noteProgress() and that of
    // the work its runPatiently calls watch). True when it returned; false when given up on:
    // its thread runs on, detached (abandonedWorkRuns() is true until it ends), and the caller
    // must not touch what the work uses. Later calls give the same answer at once.
    bool waitPatiently();

 private:
    std::shared_ptr<PatientWait> wait_;  // shared with the work's thread
    std::shared_ptr<QuitFlag> quit_;
    bool settled_ = false, finished_ = false;
};

// Called by work as it goes on (an entry listed, a block written). Does nothing on a thread
// that runs no such work. Cheap: it wakes no one.
void noteProgress();
// The counter that the secure deletion engine advances on this thread; null outside such work.
std::atomic<uint64_t> *progressCounter();

// True while work that was given up on still runs (blocked on its file system). A process
// that ends then must not run its static destructors under that work: end it with _exit
// once everything is saved.
bool abandonedWorkRuns();

// The patience on this thread now: that of the quit flag of the work it runs in (the default
// Patience without one), the quitting one once it is raised (child_work.h waits by it too).
std::chrono::milliseconds currentPatience();
// In a child of child_work.h: noteProgress calls `hook` (it has no thread of ours to count
// for), and this thread counts for no work of the parent's any more.
void setProgressHook(void (*hook)());

}  // namespace quillon
