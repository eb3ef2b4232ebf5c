#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "secure_delete/engine.h"

namespace quillon::engine {

const char *prog_name = "";
constinit thread_local uint32_t options = 0;
constinit thread_local int32_t overwrite_mode = 0;
constinit thread_local int random_fd = -1;
constinit thread_local std::atomic<uint64_t> *progress_counter = nullptr;
constinit thread_local int first_error = 0;

void note_error(int error) {
    if (first_error == 0) first_error = error;
}

void note_progress() {
    if (progress_counter) progress_counter->fetch_add(1, std::memory_order_relaxed);
}

void init_random(unsigned int seed) { init_random_from("/dev/urandom", seed); }

void init_random_from(const char *device, unsigned int seed) {
    struct stat st;
    if (stat(device, &st) == 0 && S_ISCHR(st.st_mode)) {
        random_fd = open(device, O_RDONLY | O_CLOEXEC);
        return;  // a device that will not open falls back to rand() unseeded
    }
    srand(seed);
    random_fd = -1;
}

void close_random() {
    if (random_fd != -1) (void)close(random_fd);
    random_fd = -1;
}

int random_byte() {
    if (random_fd != -1) {
        signed char byte;
        if (read(random_fd, &byte, 1) == 1) return byte;
        // A failed read must still yield a byte; rand() is the engine's other source.
    }
    return static_cast<signed char>(rand() & 0xff);
}

void random_fill(unsigned char *buffer, int length) {
    int filled = 0;
    if (random_fd != -1) {
        // Keep reading after a short read so no stale pattern is left in the buffer.
        while (filled < length) {
            ssize_t n = read(random_fd, buffer + filled, static_cast<size_t>(length - filled));
            if (n <= 0 && !(n < 0 && errno == EINTR)) break;
            if (n > 0) filled += static_cast<int>(n);
        }
    }
    for (int i = filled; i < length; i++) buffer[i] = static_cast<unsigned char>(rand() & 0xff);
}

void report_error(const char *format, ...) {
    char message[100];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(message, sizeof message, format, args);
    va_end(args);
    fprintf(stderr, "%s: %s\n", prog_name, message);
}

void report_errno(const char *format, ...) {
    int saved = errno;
    note_error(saved);
    char message[100];
    char line[120];
    va_list args;
    va_start(args, format);
    (void)vsnprintf(message, sizeof message, format, args);
    va_end(args);
    (void)snprintf(line, sizeof line, "%s: %s", prog_name, message);
    errno = saved;
    perror(line);
}

}  // namespace quillon::engine
