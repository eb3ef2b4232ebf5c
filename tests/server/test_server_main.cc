// quillon-server-test INTERVAL_SECONDS [MOUNT_TABLE_FILE [FIRST_CYCLE_SECONDS]]
//
// The server for end-to-end tests: the real process entry with a short purge interval and,
// instead of the machine's mount table, the one in MOUNT_TABLE_FILE (none when omitted or
// empty), so tests control which volumes it sees. The first cycle comes after at most
// FIRST_CYCLE_SECONDS (one interval when omitted). With $QUILLON_TEST_PATIENCE, file work
// is waited for that many seconds without progress (3 s once quitting, as ever). Never
// installed.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "env/environment.h"
#include "server/server_process.h"

namespace {

class TestServerEnvironment : public quillon::EnvironmentWrapper {
 public:
    TestServerEnvironment(quillon::Environment &target, std::string table)
        : EnvironmentWrapper(target), table_(std::move(table)) {}
    std::string mountTable() override {  // no file named, or none there: an empty table
        std::ifstream file(table_);
        return {std::istreambuf_iterator<char>(file), {}};
    }

 private:
    std::string table_;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    const double interval = strtod(argv[1], nullptr);
    quillon::ServerOptions options;
    options.resolution = interval;
    options.firstCycleAtMost = argc > 3 ? strtod(argv[3], nullptr) : interval;
    if (const char *seconds = getenv("QUILLON_TEST_PATIENCE")) options.patience.normal = std::chrono::seconds(atoi(seconds));
    quillon::SystemEnvironment system;
    TestServerEnvironment environment(system, argc > 2 ? argv[2] : "");
    quillon::Environment::setCurrent(&environment);
    const int status = quillon::runServer(options);
    quillon::Environment::setCurrent(nullptr);
    return status;
}
