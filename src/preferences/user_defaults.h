// User defaults: per-user persistent domains of settings, each an XML property list
// "<preferences folder>/<domain name>.plist" holding one dictionary.
//
// The shared object caches every domain it has read until it is reset, so a reader that
// wants what another process wrote since resets it first. A domain file that is missing
// reads as no domain; one that is damaged or unreadable reads as no domain and is logged, and
// the domain is then known to be damaged. A well-formed file with a few malformed values
// reads without those entries; each is logged once and named by unreadableKeys.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "plist/plist.h"

namespace quillon {

class UserDefaults {
 public:
    static UserDefaults &standardUserDefaults();
    // Drops the shared object's cache (and any change not yet synchronized).
    static void resetStandardUserDefaults();

    // The domain's entries, or nullopt when it does not exist.
    std::optional<PlistDictionary> persistentDomainForName(const std::string &name);
    // True when the domain's file exists but could not be read or decoded at all.
    bool isDamaged(const std::string &name);
    // The keys of the domain whose stored values could not be read, and were left out.
    std::vector<std::string> unreadableKeys(const std::string &name);
    // Replaces the whole domain in memory; synchronize writes it.
    void setPersistentDomain(const PlistDictionary &domain, const std::string &name);
    // Writes every domain replaced since the last write, each atomically, mode 0600. The
    // preferences folder must exist. False (and logged) when a write failed; that domain stays
    // pending.
    bool synchronize();

    // "<preferences folder>/<name>.plist".
    static std::string pathForDomain(const std::string &name);
    // The domain that a file's bytes hold: a property list with a dictionary at the top.
    // Nullopt, with `error` set, for anything else.
    static std::optional<PlistDictionary> decodeDomain(std::string data, std::string *error,
                                                       std::vector<std::string> *unreadable = nullptr);

 private:
    struct Domain {
        std::optional<PlistDictionary> entries;
        bool pending = false;
        bool damaged = false;
        std::vector<std::string> unreadable;  // keys
    };
    std::map<std::string, Domain> domains_;
};

}  // namespace quillon
