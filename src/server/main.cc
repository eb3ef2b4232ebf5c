// quillon-server: empties the user's trash on a schedule.
#include "platform/environment.h"
#include "server/server_process.h"

int main() { return quillon::runServer(quillon::ServerOptions{}); }
