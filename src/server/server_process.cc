#include "server/server_process.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/localization.h"
#include "base/log.h"
#include "bus/notification_center.h"
#include "bus/run_loop.h"
#include "bus/session_bus.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "fs/blocking_work.h"
#include "server/remote_control.h"
#include "server/trash_server.h"
#include "trash/trash_list_file.h"

namespace quillon {

int answerArguments(const std::vector<std::string> &args, std::ostream &out, std::ostream &err) {
    if (args.size() == 1 && args[0] == "--version") {
        out << "quillon-server " << QUILLON_VERSION << "\n";
        return 0;
    }
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        out << localizedString("Usage: quillon-server [--help | --version]\n"
                               "Empties your trash on a schedule: every item that has lain in it longer than the\n"
                               "period set with quillon-settings or quillon-panel. It runs as the systemd user unit\n"
                               "quillon-server.service; turn it on with 'quillon-settings enable'.\n"
                               "\n"
                               "  --help      this text\n"
                               "  --version   the version of this server\n");
        return 0;
    }
    // The first argument not understood: the one after --help or --version when more follow.
    const bool known = args[0] == "--help" || args[0] == "-h" || args[0] == "--version";
    const std::string &wrong = known ? args[1] : args[0];
    err << "quillon-server: " << formatted(localizedString("unknown argument \"%s\""), wrong.c_str()) << "\n"
        << localizedString("Try 'quillon-server --help' for more information.") << "\n";
    return 2;
}


int runServer(const ServerOptions &options) {
    RunLoop &loop = RunLoop::main();
    // SIGINT and SIGHUP are the "please quit" of a terminal and of an ending session. The
    // flag tells a running cycle's file work, and the wait for it, that the process is quitting.
    auto quitting = std::make_shared<QuitFlag>(options.patience);
    for (int signal : {SIGINT, SIGHUP, SIGTERM})
        loop.addSignalHandler(signal, [&loop, quitting] {
            quitting->raise();
            loop.stop();
        });

    if (setpriority(PRIO_PROCESS, 0, 20) == -1) logMessage("Could not set priority to 20");
    (void)ensureFolder(Environment::current().preferencesFolder());

    sd_bus *bus = SessionBus::shared();
    loop.attachBus(bus);

    auto server = std::make_unique<TrashServer>(loop, quitting);
    server->setResolution(options.resolution);
    server->start(options.firstCycleAtMost);

    DistributedNotificationCenter &center = DistributedNotificationCenter::defaultCenter();
    RemoteControl remote(*server);
    if (remote.registerName()) {
        // Only the holder of the name saves the list file: what a killed save left beside it
        // can go now, and a second server that failed to start never touches it.
        removeStaleTemporaries(trashListFilePath());
        center.postNotificationName("server launched");
        loop.run();
    }

    remote.invalidate();
    // The loop runs no more: what the last cycle still says on the bus (its notice) is sent
    // directly, not left to answers that no loop would take.
    loop.detachBus(bus);
    server->stop();
    server.reset();
    center.postNotificationName("server will terminate");

    center.removeAllObservers();
    SessionBus::reset();
    if (abandonedWorkRuns()) {
        // A volume that never answered still holds a thread in the kernel. Everything is
        // saved and announced: end here, before exit() would tear down what it may touch.
        fflush(nullptr);
        _exit(0);
    }
    return 0;
}

}  // namespace quillon
