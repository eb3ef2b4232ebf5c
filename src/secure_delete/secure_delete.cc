#include "secure_delete/secure_delete.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "secure_delete/engine.h"

namespace quillon {

int secure_delete(const char *path, int level) {
    using namespace engine;
    options = OPT_FORCE | OPT_RECURSIVE;
    overwrite_mode = level == 0 ? 1 : level == 1 ? 7 : 0;
    first_error = 0;
    init_random(static_cast<unsigned int>(time(nullptr)));

    // The walk strips trailing slashes in place: give it a private copy.
    const size_t length = strlen(path);
    std::unique_ptr<char[]> copy(new char[length + 1]);
    memcpy(copy.get(), path, length + 1);
    char *operands[] = {copy.get(), nullptr};

    int status = remove_tree(operands);
    close_random();
    if (status == 0) return 1;
    errno = first_error != 0 ? first_error : EIO;
    return 0;
}

void secure_delete_count_progress(std::atomic<uint64_t> *counter) { engine::progress_counter = counter; }

}  // namespace quillon
