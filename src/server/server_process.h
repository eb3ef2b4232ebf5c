// The server process from start to exit.
#pragma once

namespace quillon {

struct ServerOptions {
    double resolution = 900.0;  // seconds between purge cycles
};

// Runs the server: installs the quit paths (SIGTERM, SIGINT, SIGHUP), lowers the priority,
// makes sure the preferences folder exists, starts the server object, takes the bus name,
// posts "server launched" and runs the loop until a quit path stops it. Then it withdraws
// the name, stops and releases the server (saving the trash list), posts "server will
// terminate" and returns 0. A failed registration skips the loop and goes straight to the
// shutdown. Uses Environment::current() for the clock, the folders and the mount table.
int runServer(const ServerOptions &options);

}  // namespace quillon
