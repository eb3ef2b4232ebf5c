// Translations of the system's user-facing texts, through gettext with the text domain
// "local.vantor.quillon". The process's locale decides the language (setlocale, LANGUAGE);
// a text without a translation comes back as it is.
#pragma once

#include <string>

#include "base/calendar_date.h"
#include "base/text.h"

// Marks a text for the catalogues where it is written; it is translated where it is used.
#define N_(text) (text)

namespace quillon {

std::string localizedString(const std::string &key);
// The singular or plural form of a text for `count`, as the language counts.
std::string localizedPlural(const char *singular, const char *plural, unsigned long count);
// A moment as the user's locale writes it (LC_TIME), in local time.
std::string localizedDate(const CalendarDate &date);

// Where the compiled catalogues are looked for; the installed location unless changed.
// For tests and for binaries run from the build tree.
void setLocaleDirectory(const std::string &directory);
// For a binary run from its build tree `buildDir` (its /proc/self/exe lies below it): the
// catalogues built in `localeDir`. An installed binary keeps the installed ones.
void useBuildTreeCatalogues(const std::string &buildDir, const std::string &localeDir);

}  // namespace quillon
