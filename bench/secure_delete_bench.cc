// Securely deletes one large file at level 0 (one random pass) and prints the throughput.
//
//   secure_delete_bench [SIZE_MIB [FOLDER]]    defaults: 256 MiB in the current folder
//
// The file is written and synced before the clock starts, so only the deletion is timed.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "secure_delete/secure_delete.h"

int main(int argc, char **argv) {
    const long size_mib = argc > 1 ? strtol(argv[1], nullptr, 10) : 256;
    const std::string folder = argc > 2 ? argv[2] : ".";
    if (size_mib <= 0) {
        fprintf(stderr, "usage: %s [SIZE_MIB [FOLDER]]\n", argv[0]);
        return 2;
    }
    const std::string path = folder + "/secure_delete_bench.data";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        perror(path.c_str());
        return 1;
    }
    std::vector<char> chunk(1 << 20);
    for (size_t i = 0; i < chunk.size(); i++) chunk[i] = static_cast<char>(i * 131 + 7);
    for (long i = 0; i < size_mib; i++) {
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
            perror("write");
            return 1;
        }
    }
    fsync(fd);
    close(fd);
    sync();

    auto start = std::chrono::steady_clock::now();
    int ok = quillon::secure_delete(path.c_str(), 0);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!ok) {
        fprintf(stderr, "secure_delete failed\n");
        return 1;
    }
    printf("secure_delete level 0: %ld MiB in %.3f s = %.1f MiB/s\n", size_mib, seconds, size_mib / seconds);
    return 0;
}
