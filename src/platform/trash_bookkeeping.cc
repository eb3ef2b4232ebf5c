#include "platform/trash_bookkeeping.h"

#include <limits.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "platform/atomic_file.h"
#include "platform/environment.h"
#include "platform/log.h"

namespace quillon {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Rewrites `sizes` without the line for `name`; leaves the file alone when it has none.
void dropDirectorySize(const std::string &sizes, const std::string &name) {
    auto contents = readWholeFile(sizes);
    if (!contents) return;
    std::istringstream lines(*contents);
    std::string line, kept;
    bool dropped = false;
    while (std::getline(lines, line)) {
        // SIZE MTIME PERCENT-ENCODED-NAME
        const size_t first = line.find(' ');
        const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        if (second != std::string::npos && percentDecode(line.substr(second + 1)) == name) {
            dropped = true;
            continue;
        }
        kept += line;
        kept += '\n';
    }
    if (dropped && !writeFileAtomically(sizes, kept))
        logMessage("could not update %s: %s", sizes.c_str(), strerror(errno));
}

}  // namespace

std::string percentDecode(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool forgetTrashedItem(const std::string &filesFolder, const std::string &name, bool securely) {
    std::string folder = filesFolder;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    const size_t slash = folder.rfind('/');
    if (slash == std::string::npos || folder.compare(slash + 1, std::string::npos, "files") != 0) return true;
    const std::string trash = folder.substr(0, slash);

    dropDirectorySize(trash + "/directorysizes", name);

    // A name too long to take the suffix has no info file: none could have been made.
    if (name.size() + strlen(".trashinfo") > NAME_MAX) return true;
    Environment &environment = Environment::current();
    const std::string info = trash + "/info/" + name + ".trashinfo";
    if (securely) {
        if (environment.secureDelete(info, 0)) return true;
        logMessage("could not securely delete: %s", info.c_str());
    } else {
        if (environment.removeItem(info)) return true;
        logMessage("could not delete: %s", info.c_str());
    }
    return false;
}

}  // namespace quillon
