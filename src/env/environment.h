// Everything through which the system touches the world outside its own objects: the clock,
// the user's folders, the mount table and the two ways of removing a file. Code asks
// Environment::current(); tests install an EnvironmentWrapper that overrides only the calls
// they need to control, or to break (a removal that fails even for root).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "base/calendar_date.h"

namespace quillon {

class Environment {
 public:
    virtual ~Environment() = default;

    // The wall clock: what dates are stored in. Others may set it, forward or back.
    virtual CalendarDate now() = 0;
    // The boot clock (CLOCK_BOOTTIME): time since boot, suspend included. Only ever goes
    // forward, at the wall clock's rate, so the two differ only where the wall clock was set.
    virtual std::chrono::nanoseconds bootTime() = 0;
    // The user's home folder: $HOME, else the password database.
    virtual std::string homeFolder() = 0;
    // $XDG_CONFIG_HOME when absolute, else ~/.config: holds the settings and the trash list.
    virtual std::string preferencesFolder() = 0;
    // $XDG_DATA_HOME when absolute, else ~/.local/share: holds the home trash.
    virtual std::string dataFolder() = 0;
    // $XDG_STATE_HOME when absolute, else ~/.local/state: holds the deletion history.
    virtual std::string stateFolder() = 0;
    // The text of the mount table in /proc/self/mountinfo form; empty when unreadable.
    virtual std::string mountTable() = 0;
    virtual uid_t userId() = 0;
    // The file system UUID of the block device `device` (a mount table's major:minor), as
    // /dev/disk/by-uuid names it; empty when it has none (tmpfs, network shares, btrfs's
    // anonymous devices). Only /dev is looked at, never the volume itself.
    virtual std::string volumeUuid(dev_t device) = 0;
    // Removes a file, link or whole directory tree without following any link. True when
    // nothing is left at `path` (also when nothing was there); else false with errno telling
    // why (the first failure's). `freed`, when not null, gets the bytes of the regular files
    // and links removed (what trash/item_sizes.h counts for the item).
    virtual bool removeItem(const std::string &path, uint64_t *freed) = 0;
    // secure_delete of the engine: true on success, else false with errno telling why.
    virtual bool secureDelete(const std::string &path, int level) = 0;

    // The environment in use; the system's own unless a test installed another.
    static Environment &current();
    // Installs `environment` (not owned); nullptr restores the system's own.
    static void setCurrent(Environment *environment);
};

// The real machine.
class SystemEnvironment : public Environment {
 public:
    CalendarDate now() override;
    std::chrono::nanoseconds bootTime() override;
    std::string homeFolder() override;
    std::string preferencesFolder() override;
    std::string dataFolder() override;
    std::string stateFolder() override;
    std::string mountTable() override;
    uid_t userId() override;
    std::string volumeUuid(dev_t device) override;
    bool removeItem(const std::string &path, uint64_t *freed) override;
    bool secureDelete(const std::string &path, int level) override;
};

// Forwards every call to a target, so a subclass overrides only what it wants to change.
class EnvironmentWrapper : public Environment {
 public:
    explicit EnvironmentWrapper(Environment &target) : target_(target) {}
    CalendarDate now() override { return target_.now(); }
    std::chrono::nanoseconds bootTime() override { return target_.bootTime(); }
    std::string homeFolder() override { return target_.homeFolder(); }
    std::string preferencesFolder() override { return target_.preferencesFolder(); }
    std::string dataFolder() override { return target_.dataFolder(); }
    std::string stateFolder() override { return target_.stateFolder(); }
    std::string mountTable() override { return target_.mountTable(); }
    uid_t userId() override { return target_.userId(); }
    std::string volumeUuid(dev_t device) override { return target_.volumeUuid(device); }
    bool removeItem(const std::string &path, uint64_t *freed) override { return target_.removeItem(path, freed); }
    bool secureDelete(const std::string &path, int level) override { return target_.secureDelete(path, level); }

 private:
    Environment &target_;
};

}  // namespace quillon
