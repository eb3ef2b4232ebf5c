// quillon-server: empties the user's trash on a schedule.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "base/localization.h"
#include "server/server_process.h"

int main(int argc, char **argv) {
    if (argc > 1) {
        // Only to answer its command line in the user's language: the server itself logs in
        // the C locale.
        setlocale(LC_ALL, "");
        quillon::useBuildTreeCatalogues(QUILLON_BUILD_DIR, QUILLON_BUILD_LOCALE_DIR);
        return quillon::answerArguments(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    }
    return quillon::runServer(quillon::ServerOptions{});
}
