// An environment for tests: a settable wall clock and boot clock, folders in a temporary home, a mount table
// given as text, and removals that can be made to fail. Installs itself while it lives.
#pragma once

#include <cerrno>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "env/environment.h"
#include "test_support.h"

namespace quillon::testing {

class TestEnvironment : public EnvironmentWrapper {
 public:
    explicit TestEnvironment(const std::string &home) : EnvironmentWrapper(system_), home_(home) { Environment::setCurrent(this); }
    ~TestEnvironment() override { Environment::setCurrent(nullptr); }

    CalendarDate now() override { return now_; }
    std::chrono::nanoseconds bootTime() override { return boot_; }
    std::string homeFolder() override { return home_; }
    std::string preferencesFolder() override { return home_ + "/.config"; }
    std::string dataFolder() override { return home_ + "/.local/share"; }
    std::string stateFolder() override { return home_ + "/.local/state"; }
    std::string mountTable() override { return mountTable_; }
    uid_t userId() override { return userId_ ? *userId_ : EnvironmentWrapper::userId(); }
    std::string volumeUuid(dev_t device) override { return uuids.count(device) ? uuids[device] : ""; }
    bool removeItem(const std::string &path, uint64_t *freed) override {
        if (failRemoval && failRemoval(path)) return failed();
        return EnvironmentWrapper::removeItem(path, freed);
    }
    bool secureDelete(const std::string &path, int level) override {
        if (failRemoval && failRemoval(path)) return failed();
        return EnvironmentWrapper::secureDelete(path, level);
    }

    // Time passing (suspend included): both clocks step alike.
    void advance(double seconds) {
        setWallClock(seconds);
        boot_ += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(seconds));
    }
    // The wall clock alone set `seconds` forward (or back): a jump, or a slew.
    void setWallClock(double seconds) { now_ = CalendarDate::fromUnixSeconds(now_.unixSeconds() + seconds); }
    // Mounts as "/proc/self/mountinfo" lines, type ext4 unless given.
    void setMounts(const std::vector<std::string> &mountPoints, const std::string &type = "ext4") {
        mountTable_.clear();
        for (const auto &point : mountPoints) mountTable_ += mountinfo_line(point, type, "rw,relatime");
    }
    void setMountTable(const std::string &text) { mountTable_ = text; }
    void setUserId(uid_t uid) { userId_ = uid; }

    // Removals (plain and secure) of paths for which this returns true fail, with errno
    // removalError.
    std::function<bool(const std::string &)> failRemoval;
    std::map<dev_t, std::string> uuids;  // the only file system UUIDs there are  // true: the removal of that path fails with EPERM

 private:
    static bool failed() { return errno = EPERM, false; }
    SystemEnvironment system_;
    std::string home_;
    CalendarDate now_ = CalendarDate::fromUnixTime(1'800'000'000);
    std::chrono::nanoseconds boot_ = std::chrono::hours(1);
    std::string mountTable_;
    std::optional<uid_t> userId_;
};

}  // namespace quillon::testing
