#include "platform/localization.h"

#include <libintl.h>

namespace quillon {

namespace {
constexpr char kTextDomain[] = "local.vantor.quillon";
std::string &directory() {
    static std::string current = QUILLON_LOCALE_DIR;
    return current;
}
bool bound = false;
}  // namespace

void setLocaleDirectory(const std::string &new_directory) {
    directory() = new_directory;
    bound = false;
}

std::string localizedString(const std::string &key) {
    if (!bound) {
        bindtextdomain(kTextDomain, directory().c_str());
        bind_textdomain_codeset(kTextDomain, "UTF-8");
        bound = true;
    }
    return dgettext(kTextDomain, key.c_str());
}

}  // namespace quillon
