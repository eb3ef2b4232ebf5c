#include "platform/localization.h"

#include <langinfo.h>
#include <libintl.h>
#include <time.h>

#include <cstdarg>
#include <cstdio>

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

std::string localizedString(const std::string &key) {
    bind();
    return dgettext(kTextDomain, key.c_str());
}

std::string localizedPlural(const char *singular, const char *plural, unsigned long count) {
    bind();
    return dngettext(kTextDomain, singular, plural, count);
}

std::string formattedC(const char *format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) vsnprintf(out.data(), out.size() + 1, format, again);
    va_end(again);
    return out;
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
