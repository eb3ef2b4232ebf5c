#include "base/localization.h"

#include <langinfo.h>
#include <libintl.h>
#include <time.h>
#include <unistd.h>

#include <climits>

#include <cstdarg>

#include "base/log.h"

namespace quillon {

namespace {
constexpr char kTextDomain[] = "local.vantor.quillon";
std::string &directory() {
    static std::string current = QUILLON_LOCALE_DIR;
    return current;
}
bool bound = false;

void bind() {
    if (bound) return;
    bindtextdomain(kTextDomain, directory().c_str());
    bind_textdomain_codeset(kTextDomain, "UTF-8");
    bound = true;
}
}  // namespace

void setLocaleDirectory(const std::string &new_directory) {
    directory() = new_directory;
    bound = false;
}

void useBuildTreeCatalogues(const std::string &buildDir, const std::string &localeDir) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0 && std::string(self, static_cast<size_t>(n)).rfind(buildDir + "/", 0) == 0) setLocaleDirectory(localeDir);
}

std::string localizedString(const std::string &key) {
    bind();
    return dgettext(kTextDomain, key.c_str());
}

std::string localizedPlural(const char *singular, const char *plural, unsigned long count) {
    bind();
    return dngettext(kTextDomain, singular, plural, count);
}

std::string localizedDate(const CalendarDate &date) {
    const time_t t = static_cast<time_t>(date.unixSeconds());
    struct tm local;
    char text[128];
    if (!localtime_r(&t, &local) || strftime(text, sizeof text, nl_langinfo(D_T_FMT), &local) == 0)
        return date.description();
    return text;
}

}  // namespace quillon
