// Translations of the system's user-facing words, through gettext with the text domain
// "local.vantor.quillon". The process's locale decides the language (setlocale, LANGUAGE);
// a word without a translation comes back as its key.
#pragma once

#include <string>

namespace quillon {

std::string localizedString(const std::string &key);

// Where the compiled catalogues are looked for; the installed location unless changed.
// For tests and for binaries run from the build tree.
void setLocaleDirectory(const std::string &directory);

}  // namespace quillon
