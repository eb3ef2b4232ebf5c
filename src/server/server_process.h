// The server process from start to exit.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "fs/blocking_work.h"

namespace quillon {

struct ServerOptions {
    double resolution = 900.0;  // seconds between purge cycles
    double firstCycleAtMost = 60.0;  // seconds from the start to the first cycle, at most
    Patience patience;  // for the file work of cycles and the wait for them (the quit flag's)
};

// Runs the server: installs the quit paths (SIGTERM, SIGINT, SIGHUP), lowers the priority,
// makes sure the preferences folder exists, starts the server object, takes the bus name,
// posts "server launched" and runs the loop until a quit path stops it. Then it withdraws
// the name, stops and releases the server (waiting for a running cycle while it makes
// progress, and saving the trash list unless a cycle given up on holds it), posts "server
// will terminate" and returns 0 (or ends with _exit(0) while abandoned work runs). A failed registration skips the loop and goes straight to the
// shutdown. Uses Environment::current() for the clock, the folders and the mount table.
int runServer(const ServerOptions &options);

// The server's answer to a command line with arguments, which never starts it: --help and
// --version print on `out` and return 0; anything else is a usage error on `err` (2).
int answerArguments(const std::vector<std::string> &args, std::ostream &out, std::ostream &err);

}  // namespace quillon
