#include "panel/panel_model.h"

#include "platform/environment.h"
#include "platform/localization.h"
#include "platform/log.h"
#include "platform/user_defaults.h"
#include "settings/purge_preview.h"
#include "settings/server_client.h"
#include "settings/service_control.h"

namespace quillon {

namespace {

std::string tr(const char *text) { return localizedString(text); }

}  // namespace

PanelModel::PanelModel(std::function<void()> changed) : changed_(std::move(changed)) {
    auto &center = DistributedNotificationCenter::defaultCenter();
    for (const char *name : {Preferences::kPreferencesChanged, "server launched", "server will terminate"})
        observers_.push_back(center.addObserver(name, [this] { refresh(); }));
    refresh();
}

PanelModel::~PanelModel() {
    *alive_ = false;
    for (auto id : observers_) DistributedNotificationCenter::defaultCenter().removeObserver(id);
    if (preferences_) preferences_->discardChanges();  // every change was saved when it was made
}

void PanelModel::refresh() {
    UserDefaults::resetStandardUserDefaults();
    if (preferences_) preferences_->discardChanges();
    preferences_ = Preferences::preferences();
    (void)preferences_->unitsList();
    preferences_->discardChanges();  // what is shown is what is stored
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
    preferences_->setRunning(owned);
    state_ = version ? formatted(tr("Running, version %s"), version->c_str()) : owned ? tr("Running, busy") : tr("Not running");

    std::string error;
    const auto folders = rememberedFolders(&error);
    if (!folders) {
        preview_ = formatted(tr("The trash list file is damaged (%s)."), error.c_str());
        return;
    }
    // A server that did not answer is not asked again: the panel would wait on it twice.
    const auto next = state == ServerState::kAnswered ? ServerClient::nextCycleDate(&state) : std::nullopt;
    const CalendarDate cycle = next.value_or(Environment::current().now());
    preview_ = next ? formatted(tr("The next cycle runs at %s."), localizedDate(cycle).c_str()) : previewWithoutCycleText(state);
    const auto due = previewCycle(*folders, cycle, unit(), countIndex());
    for (const auto &folder : due)
        preview_ += "\n" + escapedText(folder.folder) + ": " + (folder.notAnswering ? notAnsweringText() : freedText(folder));
    if (due.empty()) preview_ += "\n" + tr("Nothing is due.");
}

void PanelModel::apply() {
    (void)preferences_->synchronize();  // posts "preferences changed", which refreshes the view
    readServer();
    changed_();
}

void PanelModel::chooseUnit(int unit) {
    if (unit < 0 || unit > 3 || unit == this->unit()) return;
    const int wanted = countIndex() + 1;
    preferences_->setPeriod(unit);
    (void)preferences_->unitsList();  // a count beyond the new unit's largest is pulled back
    periodNote_ = wanted > Preferences::largestCount(unit) ? Preferences::pulledCountText(wanted, unit) : "";
    apply();
}

void PanelModel::chooseCount(int index) {
    if (index < 0 || index >= static_cast<int>(counts().size()) || index == countIndex()) return;
    preferences_->setUnits(index);
    periodNote_.clear();
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

void PanelModel::chooseAutomatic(bool on) {
    if (on == automatic_) return;
    std::string why;
    const bool done = on ? enableServer(why) : disableServer(why);
    switchFailure_ = done ? "" : formatted(on ? tr("Automatic emptying could not be turned on: %s.")
                                              : tr("Automatic emptying could not be turned off: %s."),
                                           why.c_str());
    readServer();
    changed_();
}

void PanelModel::startOrStop() { (void)(running() ? stopServer() : startServer()); }

void PanelModel::purgeNow() {
    if (purging_) return;
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
        readServer();
        changed_();
    });
    purgeOutcome_ = purging_ ? tr("Deleting what is due...") : tr("The server is not running; nothing was deleted.");
    changed_();
}

}  // namespace quillon
