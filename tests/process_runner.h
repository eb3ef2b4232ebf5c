// Runs a real binary of the project as a child process with a chosen environment, its
// standard error kept in a file, for end-to-end tests.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quillon::testing {

class ChildProcess {
 public:
    // Starts `argv` with this process's environment changed by `environment` (an empty value
    // removes the variable). Standard error (and output) go to `logFile`.
    ChildProcess(const std::vector<std::string> &argv, const std::map<std::string, std::string> &environment,
                 const std::string &logFile);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    void signal(int signo);
    // The exit status once the child has exited within `timeout`; nullopt if it still runs.
    // A child killed by a signal gives 128 + the signal.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // The exit status, once the child has exited, however long that takes: the test's own
    // timeout is the bound.
    int wait();

 private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// The environment of a Quillon process in a temporary `home` on the bus at `busAddress`:
// the XDG folders left to their defaults below that home.
std::map<std::string, std::string> session_environment(const std::string &home, const std::string &busAddress);

// Polls `condition` until it holds or `timeout` passes; true when it held.
template <typename F>
bool eventually(F &&condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        struct timespec pause = {0, 10'000'000};
        nanosleep(&pause, nullptr);
    }
    return true;
}

}  // namespace quillon::testing
