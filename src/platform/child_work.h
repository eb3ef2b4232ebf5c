// Work that first touches a volume other than the home folder's, run in a child process that
// can be abandoned.
//
// Why a child and not a thread (blocking_work.h): a thread stuck in the kernel on a volume
// that stopped answering cannot be left behind. A FUSE request its daemon has already read
// waits uninterruptibly, even for SIGKILL, and a second look-up of the same name waits
// uninterruptibly for the first; the process cannot end while such a thread is inside, so its
// bus connection and name outlive a quit until the volume answers. A child stuck there holds
// nothing of ours: it is killed and left, and goes whenever the volume answers.
//
// The work runs in the child right after fork, with every descriptor closed but its socket
// back: it may use system calls and allocation only (glibc keeps malloc usable in the child
// of a threaded process) -- no logging, no stdio, no lock another thread may hold. Its answer
// is bytes, open descriptors (passed back with SCM_RIGHTS) and messages that the parent logs.
//
// The caller's thread waits for the answer by the patience of blocking_work.h: progress is
// noteProgress() in the child. A child that makes no progress for the patience is sent
// SIGKILL and never waited for in a way that can block: it is reaped (waitpid WNOHANG) by a
// later call once it has ended.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

struct ChildAnswer {
    std::string bytes;
    // In the child: descriptors to send back (left open). In the parent: those received,
    // close-on-exec, owned by the caller.
    std::vector<int> fds;
    std::vector<std::string> messages;  // logged by the parent, in order
};

// One work, and its slot: the child of an earlier run given up on. While that child lives,
// the work is not started and counts as not answered (the volume has not answered since).
struct ChildWork {
    std::function<ChildAnswer()> work;
    std::shared_ptr<pid_t> stuck;  // may be null; the caller keeps it between runs
};

// Runs every work in a child of its own, all at once, and waits for their answers. Per work:
// its answer, or nullopt when it was not started, gave none (it died) or was given up on.
std::vector<std::optional<ChildAnswer>> runInChildren(std::vector<ChildWork> works);
// The same for one work.
std::optional<ChildAnswer> runInChild(std::function<ChildAnswer()> work, std::shared_ptr<pid_t> stuck = nullptr);

}  // namespace quillon
