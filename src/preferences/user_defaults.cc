#include "preferences/user_defaults.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"

namespace quillon {

namespace {
std::unique_ptr<UserDefaults> &shared() {
    static std::unique_ptr<UserDefaults> instance;
    return instance;
}
}  // namespace

UserDefaults &UserDefaults::standardUserDefaults() {
    if (!shared()) shared() = std::make_unique<UserDefaults>();
    return *shared();
}

void UserDefaults::resetStandardUserDefaults() { shared().reset(); }

std::string UserDefaults::pathForDomain(const std::string &name) {
    return Environment::current().preferencesFolder() + "/" + name + ".plist";
}

std::optional<PlistDictionary> UserDefaults::persistentDomainForName(const std::string &name) {
    auto cached = domains_.find(name);
    if (cached != domains_.end()) return cached->second.entries;

    Domain &domain = domains_[name];
    const std::string path = pathForDomain(name);
    // A settings file is a few hundred bytes; anything far larger is not one.
    auto data = readWholeFile(path, size_t{1} << 20);
    if (!data) {
        if (errno == ENOENT) return std::nullopt;  // never written: no domain
        logMessage("could not read %s: %s", path.c_str(), readErrorText(errno).c_str());
        domain.damaged = true;
        return std::nullopt;
    }
    std::string error;
    std::vector<std::string> unreadable;
    domain.entries = decodeDomain(std::move(*data), &error, &unreadable);
    if (!domain.entries) {
        logMessage("could not read %s: %s", path.c_str(), error.c_str());
        domain.damaged = true;
    }
    for (const std::string &entry : unreadable) {
        logMessage("could not read a setting in %s: %s", path.c_str(), entry.c_str());
        domain.unreadable.push_back(entry.substr(0, entry.find(": ")));
    }
    return domain.entries;
}

bool UserDefaults::isDamaged(const std::string &name) {
    (void)persistentDomainForName(name);
    return domains_[name].damaged;
}

std::vector<std::string> UserDefaults::unreadableKeys(const std::string &name) {
    (void)persistentDomainForName(name);
    return domains_[name].unreadable;
}

std::optional<PlistDictionary> UserDefaults::decodeDomain(std::string data, std::string *error,
                                                          std::vector<std::string> *unreadable) {
    auto value = decodePlist(std::move(data), error, unreadable);
    if (!value) return std::nullopt;
    if (auto *dictionary = value->as<PlistDictionary>()) return std::move(*dictionary);
    if (error) *error = "the top level is not a dictionary";
    return std::nullopt;
}

void UserDefaults::setPersistentDomain(const PlistDictionary &domain, const std::string &name) {
    domains_[name] = Domain{domain, true, false, {}};
}

bool UserDefaults::synchronize() {
    bool ok = true;
    for (auto &[name, domain] : domains_) {
        if (!domain.pending) continue;
        const std::string path = pathForDomain(name);
        std::string error;
        auto data = encodePlist(domain.entries.value_or(PlistDictionary{}), &error);
        if (!data) {
            logMessage("could not write %s: %s", path.c_str(), error.c_str());
            ok = false;
        } else if (!writeFileAtomically(path, *data)) {
            logMessage("could not write %s: %s", path.c_str(), strerror(errno));
            ok = false;
        } else {
            domain.pending = false;
        }
    }
    return ok;
}

}  // namespace quillon
