// quillon-server-test INTERVAL_SECONDS [MOUNT_TABLE_FILE]
//
// The server for end-to-end tests: the real process entry with a short purge interval and,
// instead of the machine's mount table, the one in MOUNT_TABLE_FILE (none when omitted), so
// tests control which volumes it sees. Never installed.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/environment.h"
#include "server/server_process.h"

namespace {

class TestServerEnvironment : public quillon::EnvironmentWrapper {
 public:
    TestServerEnvironment(quillon::Environment &target, std::string table)
        : EnvironmentWrapper(target), table_(std::move(table)) {}
    std::string mountTable() override {
        if (table_.empty()) return "";
        std::ifstream file(table_);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

 private:
    std::string table_;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    quillon::SystemEnvironment system;
    TestServerEnvironment environment(system, argc > 2 ? argv[2] : "");
    quillon::Environment::setCurrent(&environment);
    const int status = quillon::runServer({strtod(argv[1], nullptr)});
    quillon::Environment::setCurrent(nullptr);
    return status;
}
