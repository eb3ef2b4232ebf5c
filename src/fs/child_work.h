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

#include <cstring>
#include <string_view>
#include <type_traits>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillon {

// The one form of what a child's answer holds: a string as its length then its bytes, any
// other field (a plain value) as its bytes. Both ends are our own program, so it is kept
// simple; a reader stops at the first field that does not fit (ok false).
struct AnswerWriter {
    std::string &out;
    void operator()(const std::string &text) {
        (*this)(static_cast<uint64_t>(text.size()));
        out += text;
    }
    template <typename T>
    void operator()(const T &value) {
        static_assert(std::is_trivially_copyable_v<T>);
        out.append(reinterpret_cast<const char *>(&value), sizeof value);
    }
};
struct AnswerReader {
    std::string_view in;
    bool ok = true;
    void operator()(std::string &text) {
        uint64_t size = 0;
        (*this)(size);
        if (!ok || size > in.size()) {
            ok = false;
            return;
        }
        text.assign(in.substr(0, size));
        in.remove_prefix(size);
    }
    template <typename T>
    void operator()(T &value) {
        static_assert(std::is_trivially_copyable_v<T>);
        if (!ok || in.size() < sizeof value) {
            ok = false;
            return;
        }
        memcpy(&value, in.data(), sizeof value);
        in.remove_prefix(sizeof value);
    }
    // True when every byte was read, and read whole.
    bool done() const { return ok && in.empty(); }
};

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
