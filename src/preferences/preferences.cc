#include "preferences/preferences.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "base/localization.h"
#include "base/log.h"
#include "bus/notification_center.h"
#include "preferences/user_defaults.h"

namespace quillon {

namespace {

const PlistDictionary &registeredDefaults() {
    static const PlistDictionary defaults = {
        {"inode", int64_t{0}}, {"period", int64_t{1}}, {"units", int64_t{3}},
        {"secure", false},     {"securityLevel", int64_t{0}}, {"notify", true},
        {"historyNames", false},
        {"volumes", PlistDictionary{}},
        {"trashLimit", int64_t{0}}, {"keepFree", int64_t{0}}, {"minimumAge", int64_t{86400}},
        {"warnItems", int64_t{100}}, {"warnBytes", int64_t{1} << 30},
    };
    return defaults;
}

// The key whose observers are also told when `key` is set.
const char *dependentKey(const std::string &key) {
    if (key == "units") return "periodList";
    if (key == "period") return "unitsList";
    if (key == "running") return "startStopTitle";
    return nullptr;
}

const PlistValue *findIn(const PlistDictionary &dictionary, const std::string &key) {
    for (const auto &[k, v] : dictionary)
        if (k == key) return &v;
    return nullptr;
}

// True when `value` has the type of `key`'s registered default: a boolean for "secure", a
// dictionary for "volumes", an integer for the others. A real or a boolean is not a count:
// 0.9 days is not four days.
bool hasTheKeysType(const std::string &key, const PlistValue &value) {
    const PlistValue *registered = findIn(registeredDefaults(), key);
    return registered && registered->value.index() == value.value.index();
}

}  // namespace

std::shared_ptr<Preferences> Preferences::preferences() { return std::make_shared<Preferences>(); }

PreferencesSnapshot Preferences::read() { return Preferences().snapshot(); }

PreferencesSnapshot Preferences::snapshot() const {
    return {period(),   units(),    isSecure(), isSecureKnown(), isNotifying(), running_, leftAloneVolumes(),
            trashLimit(), keepFree(), minimumAge(), warnItems(), warnBytes()};
}

Preferences::Preferences() {
    UserDefaults &defaults = UserDefaults::standardUserDefaults();
    if (auto domain = defaults.persistentDomainForName(kDomainName)) persistentPrefs_ = std::move(*domain);
    std::erase_if(persistentPrefs_, [](const auto &entry) {
        return entry.first == "enabled" || entry.first == "unitsList";
    });
    damaged_ = defaults.isDamaged(kDomainName);
    const std::vector<std::string> unreadable = defaults.unreadableKeys(kDomainName);
    secureUnreadable_ = std::find(unreadable.begin(), unreadable.end(), "secure") != unreadable.end();
    for (const auto &[key, value] : persistentPrefs_) {
        if (!findIn(registeredDefaults(), key) || hasTheKeysType(key, value)) continue;
        logMessage("setting %s in %s has the wrong type: it reads as its default", key.c_str(),
                   UserDefaults::pathForDomain(kDomainName).c_str());
        if (key == "secure") secureUnreadable_ = true;
    }
}

Preferences::~Preferences() { (void)synchronize(); }

bool Preferences::synchronize() {
    if (!changes_) return true;
    UserDefaults &defaults = UserDefaults::standardUserDefaults();
    defaults.setPersistentDomain(persistentPrefs_, kDomainName);
    if (!defaults.synchronize()) return false;
    DistributedNotificationCenter::defaultCenter().postNotificationName(kPreferencesChanged);
    changes_ = false;
    return true;
}

std::optional<PlistValue> Preferences::preferenceForKey(const std::string &key) const {
    if (const PlistValue *value = findIn(persistentPrefs_, key)) return *value;
    if (const PlistValue *value = findIn(registeredDefaults(), key)) return *value;
    return std::nullopt;
}

void Preferences::setPreference(const std::optional<PlistValue> &value, const std::string &key) {
    auto found = std::find_if(persistentPrefs_.begin(), persistentPrefs_.end(),
                              [&](const auto &entry) { return entry.first == key; });
    if (!value) {
        if (found != persistentPrefs_.end()) persistentPrefs_.erase(found);
    } else if (found != persistentPrefs_.end()) {
        found->second = *value;
    } else {
        persistentPrefs_.emplace_back(key, *value);
    }
}

const PlistValue &Preferences::valueFor(const char *key) const {
    const PlistValue *stored = findIn(persistentPrefs_, key);
    return stored && hasTheKeysType(key, *stored) ? *stored : *findIn(registeredDefaults(), key);
}

int64_t Preferences::numberFor(const char *key) const { return *valueFor(key).as<int64_t>(); }

int Preferences::integerFor(const char *key) const {
    return static_cast<int>(std::clamp<int64_t>(numberFor(key), INT_MIN, INT_MAX));
}

void Preferences::store(const char *key, PlistValue value, bool differs) {
    if (differs) {
        setPreference(std::move(value), key);
        changes_ = true;
    }
    didChange(key);
}

void Preferences::setRunning(bool running) {
    running_ = running;
    didChange("running");
}

int Preferences::period() const { return integerFor("period"); }
void Preferences::setPeriod(int period) { store("period", int64_t{period}, period != this->period()); }
int Preferences::units() const { return integerFor("units"); }
void Preferences::setUnits(int units) { store("units", int64_t{units}, units != this->units()); }
int Preferences::securityLevel() const { return integerFor("securityLevel"); }
void Preferences::setSecurityLevel(int level) { store("securityLevel", int64_t{level}, level != securityLevel()); }

bool Preferences::isSecure() const { return *valueFor("secure").as<bool>(); }

bool Preferences::isSecureKnown() const { return !damaged_ && !secureUnreadable_; }
void Preferences::setSecure(bool secure) { store("secure", secure, secure != isSecure()); }

bool Preferences::isNotifying() const { return *valueFor("notify").as<bool>(); }
void Preferences::setNotifying(bool notifying) { store("notify", notifying, notifying != isNotifying()); }
bool Preferences::historyNames() const { return *valueFor("historyNames").as<bool>(); }
void Preferences::setHistoryNames(bool names) { store("historyNames", names, names != historyNames()); }

std::set<std::string> Preferences::leftAloneVolumes() const {
    std::set<std::string> volumes;
    for (const auto &[volume, purged] : *valueFor("volumes").as<PlistDictionary>())
        if (purged.as<bool>() && !*purged.as<bool>()) volumes.insert(volume);
    return volumes;
}

void Preferences::setVolumePurged(const std::string &volume, bool purged) {
    PlistDictionary volumes = *valueFor("volumes").as<PlistDictionary>();
    const bool differs = (leftAloneVolumes().count(volume) != 0) == purged;
    if (differs) std::erase_if(volumes, [&](const auto &entry) { return entry.first == volume; });
    if (differs && !purged) volumes.emplace_back(volume, false);
    store("volumes", std::move(volumes), differs);
}

int Preferences::trashLimit() const { return std::clamp(integerFor("trashLimit"), 0, 100); }
void Preferences::setTrashLimit(int percent) { store("trashLimit", int64_t{percent}, percent != trashLimit()); }
int Preferences::keepFree() const { return std::clamp(integerFor("keepFree"), 0, 100); }
void Preferences::setKeepFree(int percent) { store("keepFree", int64_t{percent}, percent != keepFree()); }
int64_t Preferences::minimumAge() const { return std::max<int64_t>(numberFor("minimumAge"), 0); }
void Preferences::setMinimumAge(int64_t seconds) { store("minimumAge", seconds, seconds != minimumAge()); }

// A negative count reads as off, as 0 does.
uint64_t Preferences::warnItems() const { return static_cast<uint64_t>(std::max<int64_t>(numberFor("warnItems"), 0)); }
void Preferences::setWarnItems(uint64_t items) {
    store("warnItems", static_cast<int64_t>(items), items != warnItems());
}
uint64_t Preferences::warnBytes() const { return static_cast<uint64_t>(std::max<int64_t>(numberFor("warnBytes"), 0)); }
void Preferences::setWarnBytes(uint64_t bytes) {
    store("warnBytes", static_cast<int64_t>(bytes), bytes != warnBytes());
}

// Stored as a 32-bit number.
unsigned long Preferences::prefPaneInode() const { return static_cast<uint32_t>(numberFor("inode")); }
void Preferences::setPrefPaneInode(unsigned long inode) {
    const uint32_t value = static_cast<uint32_t>(inode);
    store("inode", int64_t{value}, value != prefPaneInode());
}

int Preferences::largestCount(int period) {
    static constexpr int kLargest[] = {12, 7, 4, 12};
    return period >= 0 && period < 4 ? kLargest[period] : 0;
}

void Preferences::pullCountIntoRange() {
    if (const int inRange = snapshot().unitsInRange(); inRange != units()) setUnits(inRange);
}

std::vector<std::string> PreferencesSnapshot::unitsList() const {
    std::vector<std::string> counts;
    for (int count = 1; count <= Preferences::largestCount(period); count++) counts.push_back(std::to_string(count));
    return counts;
}

int PreferencesSnapshot::unitsInRange() const {
    const int largest = Preferences::largestCount(period);
    return largest > 0 && units >= largest ? largest - 1 : units;
}

std::string Preferences::unitWord(int period, bool plural) {
    static const char *kSingular[] = {N_("hour"), N_("day"), N_("week"), N_("month")};
    static const char *kPlural[] = {N_("hours"), N_("days"), N_("weeks"), N_("months")};
    return localizedString((plural ? kPlural : kSingular)[period]);
}

std::string Preferences::pulledCountText(int wanted, int period) {
    const int largest = largestCount(period);
    return formatted(localizedString("%d is more than %s allow: the count is now %d %s"), wanted,
                     unitWord(period, true).c_str(), largest, unitWord(period, largest > 1).c_str());
}

const char *Preferences::unitKey(int period, bool singular) {
    static const char *kSingular[] = {N_("Hour"), N_("Day"), N_("Week"), N_("Month")};
    static const char *kPlural[] = {N_("Hours"), N_("Days"), N_("Weeks"), N_("Months")};
    return (singular ? kSingular : kPlural)[period];
}

std::vector<std::string> PreferencesSnapshot::periodList() const {
    std::vector<std::string> list;
    for (int unit = 0; unit < 4; unit++) list.push_back(localizedString(Preferences::unitKey(unit, units == 0)));
    return list;
}

std::string PreferencesSnapshot::startStopTitle() const { return running ? localizedString("Stop") : localizedString("Start"); }

Preferences::ObserverId Preferences::addObserver(const std::string &key,
                                                 std::function<void(const std::string &)> callback) {
    const ObserverId id = nextObserver_++;
    observers_[id] = {key, std::move(callback)};
    return id;
}

void Preferences::removeObserver(ObserverId id) { observers_.erase(id); }

void Preferences::didChange(const std::string &key) {
    const char *dependent = dependentKey(key);
    // Copy: an observer may add or remove observers.
    const auto observers = observers_;
    for (const auto &[id, observer] : observers)
        if (observer.first == key || (dependent && observer.first == dependent)) observer.second(observer.first);
}

}  // namespace quillon
