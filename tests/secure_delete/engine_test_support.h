// Helpers for the engine's tests: a scripted random source and stream capture.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "secure_delete/engine.h"

namespace quillon::testing {

// Points the engine's random source at a pipe that yields exactly `bytes`, then end of file.
// Restores random_fd to -1 on destruction.
class ScriptedRandom {
 public:
    explicit ScriptedRandom(const std::string &bytes) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        writer_ = std::thread([fd = fds[1], bytes] {
            for (ssize_t done = 0, n; done < ssize_t(bytes.size()); done += n)
                if ((n = write(fd, bytes.data() + done, bytes.size() - done)) <= 0) break;
            close(fd);
        });
        engine::random_fd = fds[0];
    }
    ~ScriptedRandom() {
        engine::close_random();
        writer_.join();
    }

 private:
    std::thread writer_;
};

// Collects everything written to the write end of a pipe, for overwrite passes aimed at it.
class PipeSink {
 public:
    PipeSink() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        write_fd_ = fds[1];
        reader_ = std::thread([this, fd = fds[0]] {
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) data_.append(buffer, static_cast<size_t>(n));
            close(fd);
        });
    }
    ~PipeSink() { finish(); }
    int fd() const { return write_fd_; }
    // Closes the write end and returns all that was written.
    const std::string &finish() {
        if (write_fd_ >= 0) {
            close(write_fd_);
            write_fd_ = -1;
            reader_.join();
        }
        return data_;
    }

 private:
    int write_fd_ = -1;
    std::thread reader_;
    std::string data_;
};

}  // namespace quillon::testing
