#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "secure_delete/engine.h"
#include "secure_delete/engine_platform.h"

namespace quillon::engine {

constinit thread_local int fork_fd = -1;
constinit thread_local off_t fork_length = 0;
constinit thread_local const std::vector<extent> *fork_extents = nullptr;
constinit thread_local unsigned char *pass_buffer = nullptr;
constinit thread_local uint32_t pass_buffer_size = 0;
constinit thread_local int64_t planned_bytes = 0;
constinit thread_local int64_t written_bytes = 0;

namespace {

// One write at the current offset. A signal retries it; any other failure ends the
// overwrite, because going on would later truncate and unlink a file whose data is still
// on the disk and call it securely deleted.
ssize_t write_block(const unsigned char *data, size_t length) {
    for (;;) {
        ssize_t n = write(fork_fd, data, length);
        if (n >= 0 || errno != EINTR) {
            note_progress();
            return n;
        }
    }
}

// The bytes one pass writes.
int64_t pass_length() {
    if (!fork_extents) return fork_length;
    int64_t total = 0;
    for (const extent &range : *fork_extents) total += range.end - range.begin;
    return total;
}

// Writes the buffer over [begin, end) from the current offset, block by block.
int write_range(off_t begin, off_t end, bool verbose) {
    int64_t count = begin;
    while (count + pass_buffer_size < end) {
        ssize_t n = write_block(pass_buffer, pass_buffer_size);
        if (n < 0) return -1;
        if (verbose) show_progress(static_cast<uint32_t>(n));
        count += n;
    }
    // The tail: between 1 and pass_buffer_size bytes, or one write of 0 for an empty fork.
    do {
        ssize_t n = write_block(pass_buffer, static_cast<size_t>(end - count));
        if (n < 0) return -1;
        if (verbose) show_progress(static_cast<uint32_t>(n));
        if (n == 0) break;
        count += n;
    } while (count < end);
    return 0;
}

}  // namespace

int overwrite_fork() {
    written_bytes = 0;
    const int64_t length = pass_length();
    planned_bytes = (options & OPT_ZERO_LAST) ? length : 0;

    int status;
    if (overwrite_mode == 1) {
        planned_bytes += length;
        status = random_passes(1);
    } else if (overwrite_mode == 7) {
        planned_bytes += 7 * length;
        status = byte_pass(0xF6) || byte_pass(0x00) || byte_pass(0xFF) || random_passes(1) ||
                 byte_pass(0x00) || byte_pass(0xFF) || random_passes(1);
    } else {
        planned_bytes += 35 * length;
        status = random_passes(4) ||
                 byte_pass(0x55) || byte_pass(0xAA) ||
                 triple_pass(0x92, 0x49, 0x24) || triple_pass(0x49, 0x24, 0x92) ||
                 triple_pass(0x24, 0x92, 0x49) ||
                 byte_pass(0x00) || byte_pass(0x11) || byte_pass(0x22) || byte_pass(0x33) ||
                 byte_pass(0x44) || byte_pass(0x55) || byte_pass(0x66) || byte_pass(0x77) ||
                 byte_pass(0x88) || byte_pass(0x99) || byte_pass(0xAA) || byte_pass(0xBB) ||
                 byte_pass(0xCC) || byte_pass(0xDD) || byte_pass(0xEE) || byte_pass(0xFF) ||
                 triple_pass(0x92, 0x49, 0x24) || triple_pass(0x49, 0x24, 0x92) ||
                 triple_pass(0x24, 0x92, 0x49) ||
                 triple_pass(0x6D, 0xB6, 0xDB) || triple_pass(0xB6, 0xDB, 0x6D) ||
                 triple_pass(0xDB, 0x6D, 0xB6) ||
                 random_passes(4);
    }
    if (status == 0 && (options & OPT_ZERO_LAST)) status = byte_pass(0x00);
    return status ? -1 : 0;
}

int write_pass() {
    const bool verbose = options & OPT_VERBOSE;
    if (!fork_extents) {
        (void)lseek(fork_fd, 0, SEEK_SET);
        if (write_range(0, fork_length, verbose) != 0) return -1;
    } else {
        for (const extent &range : *fork_extents) {
            if (lseek(fork_fd, range.begin, SEEK_SET) != range.begin) return -1;
            if (write_range(range.begin, range.end, verbose) != 0) return -1;
        }
    }
    flush_file(fork_fd);
    (void)lseek(fork_fd, 0, SEEK_SET);
    return 0;
}

int byte_pass(unsigned char value) {
    memset(pass_buffer, value, pass_buffer_size);
    return write_pass();
}

int triple_pass(unsigned char first, unsigned char second, unsigned char third) {
    const unsigned char pattern[3] = {first, second, third};
    for (uint32_t i = 0; i < pass_buffer_size; i++) pass_buffer[i] = pattern[i % 3];
    return write_pass();
}

int random_passes(int count) {
    for (int i = 0; i < count; i++) {
        random_fill(pass_buffer, static_cast<int>(pass_buffer_size));
        if (write_pass() != 0) return -1;
    }
    return 0;
}

void flush_file(int fd) { flush_file_system(fd); }

void show_progress(uint32_t count) {
    if (planned_bytes <= 0) return;  // an empty fork has no percentage to show
    int64_t old_written = written_bytes;
    written_bytes += count;
    int64_t old_percent = old_written * 100 / planned_bytes;
    int64_t new_percent = written_bytes * 100 / planned_bytes;
    if (old_percent == new_percent) return;
    printf("\r%d%%", static_cast<int>(new_percent));
    if (written_bytes == planned_bytes) puts("\rdone");
    fflush(stdout);
}

}  // namespace quillon::engine
