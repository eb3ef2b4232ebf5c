#include "panel/panel_model.h"

#include <future>
#include <limits>

#include "base/localization.h"
#include "base/log.h"
#include "base/size_text.h"
#include "client/purge_preview.h"
#include "client/server_client.h"
#include "client/service_control.h"
#include "env/environment.h"
#include "preferences/user_defaults.h"
#include "trash/deletion_history.h"
#include "trash/item_sizes.h"

namespace quillon {

namespace {

std::string tr(const char *text) { return localizedString(text); }

}  // namespace

PanelModel::PanelModel(std::function<void()> changed, bool dueWithinADay)
    : changed_(std::move(changed)), dueWithinADay_(dueWithinADay) {
    auto &center = DistributedNotificationCenter::defaultCenter();
    for (const char *name : {Preferences::kPreferencesChanged, "server launched", "server will terminate"})
        observers_.push_back(center.addObserver(name, [this] { refresh(); }));
    refresh();
}

PanelModel::~PanelModel() {
    *alive_ = false;
    for (auto id : observers_) DistributedNotificationCenter::defaultCenter().removeObserver(id);
}

void PanelModel::stateChanged() {
    if (!purging_) purgeOutcome_.clear();
}

void PanelModel::refresh() {
    stateChanged();
    UserDefaults::resetStandardUserDefaults();
    preferences_ = Preferences::preferences();
    show(preferences_->snapshot());
    readServer();
    changed_();
}

void PanelModel::readServer() {
    const auto enabled = serverEnabled();
    automatic_ = enabled.value_or(false);
    automaticNote_ = !enabled ? tr("No systemd user manager answers: the server cannot start at login here. Start runs "
                                   "it until you log out.")
                     : *enabled ? tr("The server starts at every login and empties the trash on its schedule.")
                                : tr("Off: nothing is deleted until you turn it on.");
    ServerState state;
    const auto version = ServerClient::versionString(&state);
    const bool owned = state != ServerState::kNotRunning;
    shown_.running = owned;
    state_ = version ? formatted(tr("Running, version %s"), version->c_str()) : owned ? tr("Running, busy") : tr("Not running");

    readDeleted();
    // The volumes on a thread of their own while the preview is read: each look waits by the
    // same patience, so a volume that does not answer costs the window one wait, not two.
    auto volumes = std::async(std::launch::async, [leftAlone = shown_.leftAlone] { return trashVolumes(leftAlone); });
    readPreview(state);
    showVolumes(volumes.get());
}

void PanelModel::readPreview(ServerState state) {
    std::string error;
    const auto folders = rememberedFolders(&error);
    dueRows_.clear();
    dueBytes_ = 0;
    dueSizeUnknown_ = false;
    if (!folders) {
        preview_ = formatted(tr("The trash list file is damaged (%s)."), error.c_str());
        return;
    }
    // A server that did not answer is not asked again: the panel would wait on it twice.
    const auto next = state == ServerState::kAnswered ? ServerClient::nextCycleDate(&state) : std::nullopt;
    const CalendarDate now = Environment::current().now(), cycle = next.value_or(now);
    preview_ = next ? formatted(tr("The next cycle runs at %s."), localizedDate(cycle).c_str()) : previewWithoutCycleText(state);
    // A day ahead, as the server weighs its warning before a large purge.
    const std::string when = dueWithinADay_ ? tr("within a day") : next ? localizedDate(cycle) : tr("at the next cycle");
    const CalendarDate until = dueWithinADay_ ? now.dateByAdding(0, 0, 1, 0, 0, 0) : cycle;
    PreviewFolder all;  // every folder's items together, for the total
    for (const auto &folder : previewCycle(*folders, until, unit(), countIndex(), {trashLimit(), keepFree(), minimumAge()})) {
        if (folder.notAnswering) preview_ += "\n" + escapedText(folder.folder) + ": " + notAnsweringText();
        for (const auto &item : folder.items)
            dueRows_.push_back({escapedText(item.name), item.bytes ? sizeText(*item.bytes) : tr("size unknown"), when,
                                escapedText(item.info ? originalLocation(folder.folder, *item.info) : "")});
        all.items.insert(all.items.end(), folder.items.begin(), folder.items.end());
        all.bytes += folder.bytes;
        all.someUnknown = all.someUnknown || folder.someUnknown;
    }
    dueBytes_ = all.bytes;
    dueSizeUnknown_ = all.someUnknown;
    preview_ += "\n" + (dueRows_.empty() ? tr("Nothing is due.") : freedText(all));
}

void PanelModel::readDeleted() {
    deletedRows_.clear();
    const auto entries = readHistory(deletionHistoryPath(), std::numeric_limits<int64_t>::min(), kDeletedRows);
    if (!entries) return;
    // Newest first: what went last is what one looks for.
    for (auto entry = entries->rbegin(); entry != entries->rend(); ++entry) {
        const std::string why = reasonText(entry->why);
        const std::string what =
            !entry->name.empty() ? escapedText(entry->location.empty() ? entry->name : entry->location)
            : entry->secure ? formatted(localizedPlural("(secure: %llu item)", "(secure: %llu items)", entry->count),
                                        static_cast<unsigned long long>(entry->count))
                            : escapedText(entry->location);
        deletedRows_.push_back({what, sizeText(entry->bytes), localizedDate(CalendarDate::fromUnixTime(entry->time)) + ", " + why});
    }
}

void PanelModel::showVolumes(const std::vector<TrashVolume> &volumes) {
    volumeRows_.clear();
    for (const TrashVolume &volume : volumes) {
        const std::string size =
            formatted(volume.someUnknown ? localizedPlural("%zu item, at least %s", "%zu items, at least %s", volume.items)
                                         : localizedPlural("%zu item, %s", "%zu items, %s", volume.items),
                      volume.items, sizeText(volume.bytes).c_str());
        volumeRows_.push_back({escapedText(volume.mountPoint), escapedText(volume.files),
                               volume.answered ? formatted(tr("%s, %s free"), size.c_str(), sizeText(volume.freeBytes).c_str())
                                               : notAnsweringText(),
                               volume.id, volume.purged});
    }
}

void PanelModel::setVolumePurged(size_t row, bool on) {
    if (row >= volumeRows_.size() || volumeRows_[row].id.empty() || on == volumeRows_[row].purged) return;
    preferences_->setVolumePurged(volumeRows_[row].id, on);
    apply();
}

bool PanelModel::keepForAWeek(size_t row) {
    if (row >= dueRows_.size()) return false;
    const auto kept = ServerClient::keep({dueRows_[row].name}, -1, 7 * 86400);
    refresh();
    return kept.value_or(0) > 0;
}

void PanelModel::show(const PreferencesSnapshot &values) {
    const bool running = shown_.running;  // what the server said, not what is stored
    shown_ = values;
    shown_.units = values.unitsInRange();
    shown_.running = running;
}

std::string PanelModel::confirmationQuestion() const {
    return formatted(localizedPlural("Delete %zu item for good?", "Delete %zu items for good?", dueRows_.size()),
                     dueRows_.size());
}

std::string PanelModel::confirmationDetail() const {
    return formatted(dueSizeUnknown_ ? tr("This frees at least %s. Deleted items cannot be restored.")
                                     : tr("This frees %s. Deleted items cannot be restored."),
                     sizeText(dueBytes_).c_str());
}

void PanelModel::apply() {
    stateChanged();
    preferences_->pullCountIntoRange();
    (void)preferences_->synchronize();  // posts "preferences changed", which refreshes the view
    show(preferences_->snapshot());
    readServer();
    changed_();
}

void PanelModel::chooseUnit(int unit) {
    if (unit < 0 || unit > 3 || unit == this->unit()) return;
    const int wanted = countIndex() + 1;
    periodNote_ = wanted > Preferences::largestCount(unit) ? Preferences::pulledCountText(wanted, unit) : "";
    preferences_->setPeriod(unit);
    apply();
}

void PanelModel::chooseCount(int index) {
    if (index < 0 || index >= static_cast<int>(counts().size()) || index == countIndex()) return;
    periodNote_.clear();
    preferences_->setUnits(index);
    apply();
}

void PanelModel::chooseSecure(bool on) {
    if (on == secure()) return;
    preferences_->setSecure(on);
    apply();
}

void PanelModel::chooseNotifying(bool on) {
    if (on == notifying()) return;
    preferences_->setNotifying(on);
    apply();
}

void PanelModel::chooseTrashLimit(int percent) {
    if (percent < 0 || percent > 100 || percent == trashLimit()) return;
    preferences_->setTrashLimit(percent);
    apply();
}

void PanelModel::chooseKeepFree(int percent) {
    if (percent < 0 || percent > 100 || percent == keepFree()) return;
    preferences_->setKeepFree(percent);
    apply();
}

void PanelModel::chooseMinimumAge(int64_t seconds) {
    if (seconds < 0 || seconds == minimumAge()) return;
    preferences_->setMinimumAge(seconds);
    apply();
}

void PanelModel::chooseAutomatic(bool on) {
    if (on == automatic_) return;
    stateChanged();
    std::string why;
    const bool done = on ? enableServer(why) : disableServer(why);
    switchFailure_ = done ? "" : formatted(on ? tr("Automatic emptying could not be turned on: %s.")
                                              : tr("Automatic emptying could not be turned off: %s."),
                                           why.c_str());
    readServer();
    changed_();
}

void PanelModel::startOrStop() {
    stateChanged();
    (void)(running() ? stopServer() : startServer());
    changed_();
}

void PanelModel::purgeNow() {
    if (!canPurge()) return;
    auto alive = alive_;
    purging_ = ServerClient::purgeNowAsync([this, alive](ServerState state, std::optional<ServerClient::PurgeResult> result) {
        if (!*alive) return;
        purging_ = false;
        // Only a server that was not there is known to have deleted nothing.
        if (!result)
            purgeOutcome_ = state == ServerState::kNotRunning ? tr("The server is not running; nothing was deleted.")
                                                              : tr("The server did not answer; what it deleted is not known.");
        else if (result->deleted.empty() && result->failed.empty()) purgeOutcome_ = tr("Nothing was due.");
        else
            purgeOutcome_ = formatted(localizedPlural("Deleted %zu item.", "Deleted %zu items.", result->deleted.size()),
                                      result->deleted.size()) +
                            (result->failed.empty() ? ""
                                                    : " " + formatted(localizedPlural("%zu item could not be deleted.",
                                                                                      "%zu items could not be deleted.",
                                                                                      result->failed.size()),
                                                                      result->failed.size()));
        // Each item that stays, with why: the server's log may reach no journal.
        for (size_t i = 0; result && i < result->failed.size(); i++)
            purgeOutcome_ += "\n" + formatted(tr("%s (%s)"), result->failed[i].c_str(), result->reasons[i].c_str());
        readServer();
        changed_();
    });
    purgeOutcome_ = purging_ ? tr("Deleting what is due...") : tr("The server is not running; nothing was deleted.");
    changed_();
}

}  // namespace quillon
