// quillon-settings: the command-line settings of Quillon.
#include <unistd.h>

#include <climits>
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "platform/localization.h"
#include "platform/log.h"
#include "settings/settings_tool.h"

int main(int argc, char **argv) {
    setlocale(LC_ALL, "");
    // Run from the build tree, the tool speaks with the catalogues built beside it.
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    const std::string build = QUILLON_BUILD_DIR "/";
    if (n > 0 && std::string(self, static_cast<size_t>(n)).rfind(build, 0) == 0)
        quillon::setLocaleDirectory(QUILLON_BUILD_LOCALE_DIR);
    // A tool speaks to its user on standard error, not to the system log.
    quillon::setLogSink([](const std::string &line) { std::cerr << "quillon-settings: " << line << "\n"; });
    return quillon::runSettingsTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
