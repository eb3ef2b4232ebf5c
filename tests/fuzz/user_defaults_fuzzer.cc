// libFuzzer target: reading the settings must never crash, whatever the stored bytes, what it
// reads must survive a write, and no stored value may ever put the cut-off at or after the
// present moment: bad settings must never mean "delete everything".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "policy/purge_policy.h"
#include "preferences/preferences.h"
#include "preferences/user_defaults.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace quillon;
    std::string error;
    auto domain = UserDefaults::decodeDomain(std::string(reinterpret_cast<const char *>(data), size), &error);
    if (!domain) return 0;
    auto encoded = encodePlist(*domain, &error);
    if (!encoded) {
        // Only a real that is not finite cannot be written back; nothing else may fail.
        if (error.find("real") == std::string::npos) abort();
    } else {
        auto again = UserDefaults::decodeDomain(*encoded, &error);
        if (!again || again->size() != domain->size()) abort();
    }

    UserDefaults::standardUserDefaults().setPersistentDomain(*domain, Preferences::kDomainName);
    {
        Preferences preferences;  // reads the domain above from memory; writes nothing
        const CalendarDate now = CalendarDate::fromUnixTime(1'800'000'000);
        const auto cutoff = cutoffDate(now, preferences.period(), preferences.units());
        if (cutoff && !(*cutoff < now)) abort();
        (void)preferences.isSecure();
        (void)preferences.securityLevel();
        (void)preferences.prefPaneInode();
        (void)preferences.periodList();
    }
    UserDefaults::resetStandardUserDefaults();
    return 0;
}
