// quillon-settings: the command-line settings of Quillon.

#include <unistd.h>

#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "base/localization.h"
#include "base/log.h"
#include "fs/blocking_work.h"
#include "settings/settings_tool.h"

int main(int argc, char **argv) {
    setlocale(LC_ALL, "");
    // Run from the build tree, it speaks with the catalogues built beside it.
    quillon::useBuildTreeCatalogues(QUILLON_BUILD_DIR, QUILLON_BUILD_LOCALE_DIR);
    // A tool speaks to its user on standard error, not to the system log.
    quillon::setLogSink([](const std::string &line) { std::cerr << "quillon-settings: " << line << "\n"; });
    const int status = quillon::runSettingsTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    if (quillon::abandonedWorkRuns()) {
        // A look into a volume that stopped answering still blocks its thread: end without
        // the static destructors that thread may yet use.
        std::cout.flush();
        std::cerr.flush();
        _exit(status);
    }
    return status;
}
