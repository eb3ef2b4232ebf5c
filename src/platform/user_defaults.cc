#include "platform/user_defaults.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/environment.h"
#include "platform/log.h"

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
        return std::nullopt;
    }
    std::string error;
    domain.entries = decodeDomain(std::move(*data), &error);
    if (!domain.entries) logMessage("could not read %s: %s", path.c_str(), error.c_str());
    return domain.entries;
}

std::optional<PlistDictionary> UserDefaults::decodeDomain(std::string data, std::string *error) {
    auto value = decodePlist(std::move(data), error);
    if (!value) return std::nullopt;
    if (auto *dictionary = value->as<PlistDictionary>()) return std::move(*dictionary);
    if (error) *error = "the top level is not a dictionary";
    return std::nullopt;
}

void UserDefaults::setPersistentDomain(const PlistDictionary &domain, const std::string &name) {
    domains_[name] = Domain{domain, true};
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
