// File work that may block for as long as a file system does not answer.
//
// A stalled NFS, sshfs or FUSE mount blocks stat, open, readdir and sync for as long as it is
// stalled, and no signal interrupts that. The run loop's thread must never be the one that
// blocks: it hands such work to a thread of its own and waits for it only while the work
// makes progress. Work that stops making progress is abandoned: its thread runs on, detached,
// until the file system answers, and the caller goes on without its result.
//
// Ownership rule: the work runs while its caller waits, so it may read the caller's state
// until it is abandoned; once abandoned it may touch only what it owns. So a work takes its
// inputs by value and writes its results into objects it shares (std::shared_ptr) with the
// caller, which reads them only when the work finished. The trash model itself never runs on
// these threads.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace quillon {

// One piece of work, and the flag that says it is still running (set on start, cleared by
// its thread when it ends, also after the caller has given up on it). A caller that finds
// the flag still set from an earlier run knows that the file system has not answered since.
struct BlockingWork {
    std::function<void()> work;
    std::shared_ptr<std::atomic<bool>> running;  // may be null
};

// Runs every work on a thread of its own and waits until each has finished or has made no
// progress for the patience: 10 s, or 3 s once a quit signal (SIGTERM, SIGINT, SIGHUP) is
// pending. Progress is the work finishing, or noteProgress() on its thread. (A single call
// that takes longer on a busy but answering disk, a flush of much data, say, also looks like
// a stall; the work then finishes on its own while the cycle goes on without its result.) Returns, per
// work, whether it finished. Works whose flag is still set are not started and count as not
// finished.
std::vector<bool> runPatiently(std::vector<BlockingWork> works);
// The same for one work.
bool runPatiently(std::function<void()> work, std::shared_ptr<std::atomic<bool>> running = nullptr);

// Called by work as it goes on (an entry listed, a block written). Does nothing on a thread
// that runs no such work.
void noteProgress();
// The counter that noteProgress advances on this thread; null outside such work.
std::atomic<uint64_t> *progressCounter();

// True while work that was given up on still runs (blocked on its file system). A process
// that ends then must not run its static destructors under that work: end it with _exit
// once everything is saved.
bool abandonedWorkRuns();

// The patience now: 10 s, or 3 s once a quit signal is pending (child_work.h waits by it too).
std::chrono::milliseconds currentPatience();
// In a child of child_work.h: noteProgress calls `hook` (it has no thread of ours to count
// for), and this thread counts for no work of the parent's any more.
void setProgressHook(void (*hook)());

// Changes the patience, for tests that must not wait seconds for a stall to be noticed.
void setPatience(std::chrono::milliseconds normal, std::chrono::milliseconds quitting);

}  // namespace quillon
