#include "fs/child_work.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string_view>

#include "base/log.h"
#include "fs/blocking_work.h"

#ifdef QUILLON_COVERAGE
extern "C" void __gcov_dump();
#endif

namespace quillon {

namespace {

using Clock = std::chrono::steady_clock;

// The stream from a child: progress bytes, then the answer byte (carrying the descriptors),
// the body's length and the body.
constexpr char kProgress = 'p', kAnswer = 'a';
constexpr size_t kMostFds = 8;

int childSocket = -1;  // in a child only

std::mutex reapMutex;
std::set<pid_t> unreaped;  // our children, ended or not, not yet waited for

// Reaps the children that have ended, without waiting; true while `pid` has not.
bool stillRuns(pid_t pid) {
    std::lock_guard<std::mutex> hold(reapMutex);
    for (auto it = unreaped.begin(); it != unreaped.end();)
        it = waitpid(*it, nullptr, WNOHANG) == 0 ? std::next(it) : unreaped.erase(it);
    return unreaped.count(pid) != 0;
}

void leave(pid_t pid) {
    std::lock_guard<std::mutex> hold(reapMutex);
    unreaped.insert(pid);
}

bool sendAll(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

// noteProgress in a child: a byte now and then, not one per entry.
void sendProgress() {
    static timespec last{};
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - last.tv_sec) * 1000 + (now.tv_nsec - last.tv_nsec) / 1000000 < 100) return;
    last = now;
    (void)sendAll(childSocket, &kProgress, 1);
}

[[noreturn]] void runChild(int socket, const std::function<ChildAnswer()> &work) {
    // Nothing of the parent's stays open here: a child stuck on its volume must hold no
    // pipe, log or bus connection of ours.
    if (socket > 0) (void)close_range(0, static_cast<unsigned>(socket) - 1, 0);
    (void)close_range(static_cast<unsigned>(socket) + 1, ~0U, 0);
    childSocket = socket;
    setProgressHook(sendProgress);
    const ChildAnswer answer = work();
#ifdef QUILLON_COVERAGE
    __gcov_dump();  // the child ends with _exit, which would drop what it ran
#endif
    if (answer.fds.size() > kMostFds) _exit(1);
    std::string body;
    AnswerWriter write{body};
    write(answer.bytes);
    write(static_cast<uint64_t>(answer.messages.size()));
    for (const std::string &message : answer.messages) write(message);
    char head[1 + sizeof(uint64_t)];
    head[0] = kAnswer;
    const uint64_t length = body.size();
    memcpy(head + 1, &length, sizeof length);
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostFds)] = {};
    iovec part{head, 1};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (!answer.fds.empty()) {
        message.msg_control = control;
        message.msg_controllen = CMSG_SPACE(sizeof(int) * answer.fds.size());
        cmsghdr *rights = CMSG_FIRSTHDR(&message);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(sizeof(int) * answer.fds.size());
        memcpy(CMSG_DATA(rights), answer.fds.data(), sizeof(int) * answer.fds.size());
    }
    ssize_t sent;
    do sent = sendmsg(socket, &message, MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    _exit(sent == 1 && sendAll(socket, head + 1, sizeof head - 1) && sendAll(socket, body.data(), body.size()) ? 0 : 1);
}

struct Child {
    pid_t pid = -1;
    int socket = -1;
    std::string received;
    std::vector<int> fds;
    Clock::time_point lastChange;
    bool settled = true;
    std::optional<ChildAnswer> answer;

    void settle() {
        if (socket >= 0) close(socket);
        socket = -1;
        if (!answer)
            for (int fd : fds) close(fd);
        if (pid > 0) leave(pid);
        settled = true;
    }
    // Reads what the child sent; false when it has ended without an answer.
    bool receive() {
        char data[65536];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMostFds)];
        iovec part{data, sizeof data};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(socket, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (n < 0) return errno == EAGAIN || errno == EINTR;
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
            const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
            for (size_t i = 0; i < count; i++) {
                int fd;
                memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
                fds.push_back(fd);
            }
        }
        if (n == 0) return false;
        lastChange = Clock::now();
        noteProgress();  // the child's steps are those of whatever waits for this one
        received.append(data, static_cast<size_t>(n));
        size_t progress = 0;
        while (progress < received.size() && received[progress] == kProgress) progress++;
        received.erase(0, progress);
        if (received.empty() || received[0] != kAnswer) return received.empty();
        AnswerReader read{std::string_view(received).substr(1)};
        uint64_t length = 0;
        read(length);
        if (!read.ok || read.in.size() < length) return true;  // more to come
        if (read.in.size() != length) return false;
        ChildAnswer got;
        uint64_t count = 0;
        read(got.bytes);
        read(count);
        for (; read.ok && count > 0; count--) read(got.messages.emplace_back());
        if (!read.done()) return false;
        got.fds = std::move(fds);
        fds.clear();
        answer = std::move(got);
        return true;
    }
};

}  // namespace

std::vector<std::optional<ChildAnswer>> runInChildren(std::vector<ChildWork> works) {
    std::vector<Child> children(works.size());
    for (size_t i = 0; i < works.size(); i++) {
        const std::shared_ptr<pid_t> &stuck = works[i].stuck;
        if (stuck && *stuck > 0) {
            if (stillRuns(*stuck)) continue;  // still blocked since an earlier run
            *stuck = 0;
        }
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) continue;
        const pid_t pid = fork();
        if (pid == 0) runChild(pair[1], works[i].work);
        close(pair[1]);
        if (pid < 0) {
            close(pair[0]);
            continue;
        }
        children[i] = {pid, pair[0], {}, {}, Clock::now(), false, std::nullopt};
    }

    for (;;) {
        std::vector<pollfd> watched;
        std::vector<size_t> whose;
        for (size_t i = 0; i < children.size(); i++)
            if (!children[i].settled) {
                watched.push_back({children[i].socket, POLLIN, 0});
                whose.push_back(i);
            }
        if (watched.empty()) break;
        // Short waits, so that a pending quit shortens the patience.
        (void)poll(watched.data(), watched.size(), 20);
        const auto patience = currentPatience();
        for (size_t w = 0; w < watched.size(); w++) {
            Child &child = children[whose[w]];
            if ((watched[w].revents != 0 && !child.receive()) || child.answer) {
                child.settle();
            } else if (Clock::now() - child.lastChange >= patience) {
                kill(child.pid, SIGKILL);  // it may stay, stuck in the kernel; it holds nothing of ours
                if (works[whose[w]].stuck) *works[whose[w]].stuck = child.pid;
                child.settle();
            }
        }
    }
    (void)stillRuns(0);  // reap those that have ended already
    std::vector<std::optional<ChildAnswer>> answers;
    answers.reserve(children.size());
    for (Child &child : children) {
        if (child.answer)
            for (const std::string &message : child.answer->messages) logMessage("%s", message.c_str());
        answers.push_back(std::move(child.answer));
    }
    return answers;
}

std::optional<ChildAnswer> runInChild(std::function<ChildAnswer()> work, std::shared_ptr<pid_t> stuck) {
    std::vector<ChildWork> works;
    works.push_back({std::move(work), std::move(stuck)});
    return std::move(runInChildren(std::move(works))[0]);
}

}  // namespace quillon
