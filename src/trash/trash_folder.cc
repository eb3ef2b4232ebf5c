#include "trash/trash_folder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>

#include <sys/statvfs.h>

#include "base/log.h"
#include "env/environment.h"
#include "fs/blocking_work.h"
#include "trash/item_sizes.h"

namespace quillon {

int64_t wallNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               Environment::current().now().timePoint().time_since_epoch())
        .count();
}

std::shared_ptr<TrashFolder> TrashFolder::folderWithPath(const std::string &path) {
    return std::make_shared<TrashFolder>(path);
}

std::shared_ptr<TrashFolder> TrashFolder::folderWithAttributes(const PlistValue &attributes) {
    const PlistValue *path = attributes.find("path");
    if (!path || !path->as<std::string>()) return nullptr;
    const PlistValue *stored = attributes.find(kFilesKey);
    if (stored && !stored->as<PlistArray>()) return nullptr;

    auto folder = std::make_shared<TrashFolder>(*path->as<std::string>());
    if (const PlistValue *volume = attributes.find("volume"))
        if (const auto *identity = volume->as<std::string>()) folder->setIdentity(*identity);
    auto files = std::make_shared<FileList>();
    if (stored) {
        files->reserve(stored->as<PlistArray>()->size());
        for (const PlistValue &item : *stored->as<PlistArray>())
            if (auto file = TrashFile::fileWithAttributes(item)) files->push_back(std::move(file));
    }
    folder->setFiles(std::move(files));
    return folder;
}

PlistValue TrashFolder::attributes(bool withRecords) const {
    PlistArray files;
    if (files_ && withRecords) {
        files.reserve(files_->size());
        for (const auto &file : *files_) files.push_back(file->attributes());
    }
    PlistDictionary dictionary;
    dictionary.emplace_back("path", path_);
    dictionary.emplace_back(kFilesKey, std::move(files));
    if (!identity_.empty()) dictionary.emplace_back("volume", identity_);
    return dictionary;
}

std::shared_ptr<TrashFile> TrashFolder::trashFileWithPath(const std::string &name) const {
    if (!files_) return nullptr;
    for (const auto &file : *files_)
        if (file->path() == name) return file;
    return nullptr;
}

namespace {

// Whether `entry` is the file `record` was made for (trash_file.h): what either lacks, or a
// stamp of another kind, is not held against it.
bool isSameFile(const TrashFile &record, const PinnedFolder::Entry &entry) {
    if (record.fileNumber() && *record.fileNumber() != static_cast<uint64_t>(entry.inode)) return false;
    return record.stampKind() != entry.stampKind || record.stamp() == entry.stamp;
}

}  // namespace

void TrashFolder::updateFiles(const std::vector<PinnedFolder::Entry> &entries, const std::string &identity) {
    changedRecords_ = false;
    bool sameVolume = true;
    if (!identity.empty()) {
        if (!identity_.empty() && identity_ != identity) {
            logMessage("%s is another folder than before: its items are dated anew", path_.c_str());
            sameVolume = false;
        }
        if (identity_ != identity) changedRecords_ = true;
        identity_ = identity;
    }

    // The known records, found in listing order while the folder lists as it did before (the
    // usual case: no index to build), else through an index by name built once, so the whole
    // scan stays linear in the number of items.
    const FileList *old = files_ && sameVolume ? files_.get() : nullptr;
    size_t cursor = 0;
    std::unordered_map<std::string_view, size_t> index;
    auto knownRecord = [&](const std::string &name) -> const std::shared_ptr<TrashFile> * {
        if (!old) return nullptr;
        if (cursor < old->size() && (*old)[cursor]->path() == name) return &(*old)[cursor++];
        if (index.empty()) {
            index.reserve(old->size());
            for (size_t i = 0; i < old->size(); i++) index.emplace((*old)[i]->path(), i);  // first of a name wins
        }
        auto found = index.find(name);
        if (found == index.end()) return nullptr;
        cursor = found->second + 1;
        return &(*old)[found->second];
    };

    auto files = std::make_shared<FileList>();
    files->reserve(entries.size());
    for (const PinnedFolder::Entry &entry : entries) {
        if (entry.name[0] == '.') continue;
        const uint64_t number = entry.inode;
        const std::shared_ptr<TrashFile> *known = knownRecord(entry.name);
        if (!known || !isSameFile(**known, entry)) {
            // New, or a different file under a name we knew: its age starts now.
            if (known) changedRecords_ = true;
            auto file = TrashFile::fileWithPath(entry.name);
            file->setFileNumber(number);
            file->setStamp(entry.stampKind, entry.stamp);
            files->push_back(std::move(file));
            continue;
        }
        const std::shared_ptr<TrashFile> &file = *known;
        if (!file->trashDate()) {
            // A record read without a date: its age starts now.
            file->setTrashDate(Environment::current().now());
            changedRecords_ = true;
        }
        if (!file->fileNumber()) {
            file->setFileNumber(number);  // a record of an older list file
            changedRecords_ = true;
        }
        if (entry.stampKind != StampKind::none && file->stampKind() != entry.stampKind) {
            file->setStamp(entry.stampKind, entry.stamp);  // none yet, or of a kind no longer kept
            changedRecords_ = true;
        }
        files->push_back(file);
    }
    setFiles(std::move(files));
}

namespace {

// Deletes the item `name` of the open `folder` (shown as `path`) and its bookkeeping. True
// when the item is gone; else false, with why in `why` (an errno text). A plain removal counts
// the bytes it freed into `freed` when given.
bool deleteItem(const PinnedFolder &folder, TrashBookkeeping &bookkeeping, const std::string &path,
                const std::string &name, bool securely, std::string &why, uint64_t *freed) {
    std::string full = path;
    if (full.empty() || full.back() != '/') full += '/';
    full += name;
    // Only a name of this folder's own, reached through the folder we hold open.
    bool removed = isPlainName(name) && folder.isOpen();
    // A name with a slash is no item of this folder; a folder that could not be opened has none.
    int error = isPlainName(name) ? ENOENT : EINVAL;
    if (removed) {
        Environment &environment = Environment::current();
        const std::string target = folder.pathFor(name);
        removed = securely ? environment.secureDelete(target, 0) : environment.removeItem(target, freed);
        error = errno;
    }
    noteProgress();  // an item dealt with is progress, however small it was
    if (!removed) {
        why = logRemovalFailure(full, securely, error);
        return false;
    }
    (void)bookkeeping.forget(name, securely);  // logs its own failure
    return true;
}

}  // namespace

// What a purge's file work did with the due names. When the work was given up on, the name
// under way then is in no list: it may go yet.
struct TrashFolder::PurgeOutcome {
    bool answered = false;  // the work finished
    std::vector<std::string> deleted;
    uint64_t bytes = 0;  // of `deleted`, when measured
    std::vector<std::pair<uint64_t, std::string>> details;  // per deleted item: bytes, original location
    std::vector<std::pair<std::string, std::string>> failed;  // name and why it stays
    std::vector<std::string> notReached;  // after the one under way
    std::optional<std::set<std::string>> orphans;  // the info folder's, when it was swept
};

TrashFolder::PurgeOutcome TrashFolder::purge(std::shared_ptr<PinnedFolder> folder, const std::vector<std::string> &due,
                                             const PurgeRequest &request, bool sweep) {
    // Written by the work's thread as it goes: an item's result is final once `reached`
    // passes it, so a caller that gave up on the work still reads what finished before.
    struct Progress {
        struct Result {
            bool deleted = false;
            std::string why;
            uint64_t bytes = 0;
            std::string location;  // from its info file, when the history may name it
        };
        std::vector<Result> results;
        std::atomic<size_t> reached{0};
        std::set<std::string> orphans;  // read only once the work finished
    };
    auto progress = std::make_shared<Progress>();
    progress->results.resize(due.size());
    PurgeOutcome outcome;
    outcome.answered = runPatiently(
        [progress, folder = std::move(folder), path = path_, due, securely = request.secure, measure = request.measure,
         sweep, earlier = orphans_, named = !request.secure || request.historyNames]() mutable {
            if (!folder) folder = std::make_shared<PinnedFolder>(path);
            TrashBookkeeping bookkeeping(*folder);
            // Read before the item goes, as its info file goes with it.
            const int info = named && !due.empty() && folder->isOpen() ? openTrashInfoFolder(folder->fd()) : -1;
            std::optional<ItemSizes> sizes;
            if (measure && securely && !due.empty()) {  // a plain removal counts as it goes
                sizes.emplace(*folder);
                sizes->willMeasure(due);
            }
            for (size_t i = 0; i < due.size(); i++) {
                Progress::Result &result = progress->results[i];
                result.bytes = sizes ? sizes->bytes(due[i]).value_or(0) : 0;
                if (info >= 0 && isPlainName(due[i]))
                    if (const auto trashInfo = readTrashInfo(info, due[i]))
                        result.location = originalLocation(path, *trashInfo);
                result.deleted = deleteItem(*folder, bookkeeping, path, due[i], securely, result.why,
                                            measure && !sizes ? &result.bytes : nullptr);
                progress->reached.store(i + 1, std::memory_order_release);
            }
            if (info >= 0) close(info);
            bookkeeping.finish();
            if (!sweep) return;
            bookkeeping.removeOrphans(earlier, securely);
            progress->orphans = bookkeeping.orphans();
        },
        busy_);
    noteAnswer(outcome.answered);

    const size_t reached = progress->reached.load(std::memory_order_acquire);
    for (size_t i = 0; i < due.size(); i++) {
        if (i == reached) continue;
        if (i > reached) {
            outcome.notReached.push_back(due[i]);
        } else if (const Progress::Result &result = progress->results[i]; result.deleted) {
            outcome.deleted.push_back(due[i]);
            outcome.bytes += result.bytes;
            outcome.details.emplace_back(result.bytes, result.location);
        } else {
            outcome.failed.emplace_back(due[i], result.why);
        }
    }
    if (outcome.answered && sweep) outcome.orphans = std::move(progress->orphans);
    return outcome;
}

bool TrashFolder::apply(const PurgeOutcome &outcome, const PurgeRequest &request, CycleReport &report) {
    std::string prefix = path_;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    for (const std::string &name : outcome.deleted) report.deleted.push_back(prefix + name);
    const auto now = static_cast<int64_t>(Environment::current().now().unixSeconds());
    if (request.secure && !request.historyNames && !outcome.deleted.empty())
        report.gone.push_back({now, request.why, true, outcome.deleted.size(), outcome.bytes, path_, "", ""});
    else
        for (size_t i = 0; i < outcome.deleted.size(); i++)
            report.gone.push_back({now, request.why, request.secure, 1, outcome.details[i].first, path_,
                                   outcome.deleted[i], outcome.details[i].second});
    // In the server's language, the C locale, as strerror's texts beside them.
    for (const auto &[name, why] : outcome.failed) {
        report.failed.push_back(prefix + name);
        report.reasons.push_back(why);
    }
    for (const std::string &name : outcome.notReached) {
        report.failed.push_back(prefix + name);
        report.reasons.push_back("its volume does not answer");
    }
    if (outcome.orphans) {
        sweptOnce_ = true;
        orphans_ = *outcome.orphans;
    }
    if (outcome.deleted.empty()) return false;
    if (!report.freed.empty() && report.freed.back().folder == path_) {  // the limits' step after the cut-off's
        report.freed.back().items += outcome.deleted.size();
        report.freed.back().bytes += outcome.bytes;
    } else {
        report.freed.push_back({path_, outcome.deleted.size(), outcome.bytes});
    }
    dropRecords({outcome.deleted.begin(), outcome.deleted.end()});
    return true;
}

std::vector<std::string> TrashFolder::dueNames(const CalendarDate &cutoff, const CalendarDate &at) const {
    std::vector<std::string> names;
    if (!files_) return names;
    for (const auto &file : *files_) {
        const auto &date = file->trashDate();
        const auto &kept = file->keepUntil();
        if (date && *date < cutoff && !(kept && *kept > at)) names.push_back(file->path());
    }
    return names;
}

size_t TrashFolder::keepNames(const std::vector<std::string> &names, const CalendarDate &until) {
    size_t kept = 0;
    for (const std::string &name : std::set<std::string>(names.begin(), names.end()))
        if (const auto file = trashFileWithPath(name)) {
            file->setKeepUntil(until);
            kept++;
        }
    return kept;
}

bool TrashFolder::noteDueSoon(const PurgeRequest &request, CycleReport &report, std::shared_ptr<PinnedFolder> folder) {
    if (!request.warnDate || !request.warnCutoff || !files_) return false;
    const std::vector<std::string> names = dueNames(*request.warnCutoff, *request.warnDate);
    if (names.empty()) return false;
    // Records in the order of `names` (both are the list's order); sizes measured once.
    std::vector<std::shared_ptr<TrashFile>> due;
    std::vector<std::string> unmeasured;
    for (auto file = files_->begin(), end = files_->end(); file != end && due.size() < names.size(); ++file)
        if ((*file)->path() == names[due.size()]) {
            due.push_back(*file);
            if (!(*file)->size()) unmeasured.push_back((*file)->path());
        }
    // Sizes are file work: measured patiently, as the purge's are.
    auto measured = std::make_shared<std::vector<std::optional<uint64_t>>>();
    if (!unmeasured.empty()) {
        const bool answered = runPatiently(
            [measured, unmeasured, folder = std::move(folder), path = path_]() mutable {
                if (!folder) folder = std::make_shared<PinnedFolder>(path);
                ItemSizes sizes(*folder);
                sizes.willMeasure(unmeasured);
                for (const std::string &name : unmeasured) measured->push_back(sizes.bytes(name));
            },
            busy_);
        noteAnswer(answered);
        if (!answered) return false;
    }
    bool changed = false;
    size_t next = 0;
    for (const auto &file : due) {
        if (!file->size() && next < measured->size())
            if (const auto &size = (*measured)[next++]) {
                file->setSize(size);
                changed = true;
            }
        report.dueSoon.push_back({path_, file->path(), file->size().value_or(0)});
    }
    return changed;
}

void TrashFolder::dropRecords(const std::set<std::string> &deleted) {
    if (!files_ || deleted.empty()) return;
    // The first record of a name is the one a deletion stood for; any later one of the same
    // name (only a tampered list file holds such) goes with it, as the item is gone.
    std::erase_if(*files_, [&](const std::shared_ptr<TrashFile> &file) { return deleted.count(file->path()) != 0; });
}

void TrashFolder::purgeFilesOlderThan(const CalendarDate &cutoff, bool securely) {
    CycleReport ignored;
    const PurgeRequest request{cutoff, securely};
    (void)apply(purge(nullptr, dueNames(cutoff, Environment::current().now()), request, false), request, ignored);
}

void TrashFolder::noteAnswer(bool answered) {
    if (!answered && !stalled_)
        logMessage("%s does not answer: its items are left as they are until it does", path_.c_str());
    else if (answered && stalled_)
        logMessage("%s answers again", path_.c_str());
    stalled_ = !answered;
}

bool TrashFolder::processTrash(const PurgeRequest &request) {
    CycleReport ignored;
    return processTrash(request, ignored);
}

bool TrashFolder::processTrash(const PurgeRequest &request, CycleReport &report) {
    return processTrash(request, report, nullptr);
}

bool TrashFolder::processTrash(const PurgeRequest &request, CycleReport &report, std::shared_ptr<PinnedFolder> folder,
                               const FolderListing *listing) {
    // The file work of each step runs on a thread of its own and owns what it touches; the
    // records are read and changed here only, between the steps.
    struct Scan {
        std::shared_ptr<PinnedFolder> folder;
        FolderListing listing;
    };
    auto scan = std::make_shared<Scan>();
    if (listing) {
        *scan = {std::move(folder), *listing};
    } else {
        const bool listed = runPatiently(
            [scan, folder = std::move(folder), path = path_, settled = settled_,
             now = wallNanoseconds()] {
                scan->folder = folder ? folder : std::make_shared<PinnedFolder>(path);
                scan->listing = scanFolder(*scan->folder, settled, now);
            },
            busy_);
        noteAnswer(listed);
        if (!listed) return false;
    }

    const std::shared_ptr<FileList> before = files_;
    updateFiles(scan->listing.entries, scan->listing.identity);
    settled_ = scan->listing.settled;
    const bool changed = changedRecords_ || !listsEqual(before, files_);
    // The info folder is looked at when the server starts, and again while it held orphans:
    // a killed purge leaves them, and they are removed a cycle later once an hour old.
    const bool sweep = !sweptOnce_ || !orphans_.empty();
    const bool purged =
        apply(purge(scan->folder, dueNames(request.date, Environment::current().now()), request, sweep), request, report);
    const bool limited = request.limited() && !stalled_ && applyLimits(scan->folder, request, report);
    const bool measured = noteDueSoon(request, report, scan->folder);
    return purged || limited || measured || changed;
}

bool TrashFolder::applyLimits(const std::shared_ptr<PinnedFolder> &folder, const PurgeRequest &request,
                              CycleReport &report) {
    if (!files_ || !folder) return false;
    std::vector<std::string> unmeasured;
    for (const auto &file : *files_)
        if (!file->size()) unmeasured.push_back(file->path());
    struct Measured {
        std::vector<std::optional<uint64_t>> sizes;  // of `unmeasured`, in order
        std::optional<VolumeSpace> volume;
    };
    auto measured = std::make_shared<Measured>();
    const bool answered = runPatiently(
        [measured, folder, unmeasured] {
            if (!unmeasured.empty()) {
                ItemSizes sizes(*folder);
                sizes.willMeasure(unmeasured);
                for (const std::string &name : unmeasured) {
                    measured->sizes.push_back(sizes.bytes(name));
                    noteProgress();
                }
            }
            struct statvfs volume;
            if (folder->isOpen() && fstatvfs(folder->fd(), &volume) == 0)
                measured->volume = VolumeSpace{static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize,
                                               static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize};
        },
        busy_);
    noteAnswer(answered);
    if (!answered) return false;

    // The list has not changed since `unmeasured` was taken from it: sizes meet their records
    // in order. One that could not be measured is tried again next cycle.
    bool changed = false;
    size_t next = 0;
    for (const auto &file : *files_)
        if (!file->size() && next < measured->sizes.size())
            if (const auto &size = measured->sizes[next++]) {
                file->setSize(size);
                changed = true;
            }
    if (!measured->volume) return changed;

    const CalendarDate now = Environment::current().now();
    std::vector<SizedItem> items;
    items.reserve(files_->size());
    for (const auto &file : *files_)
        if (file->trashDate())
            items.push_back({&file->path(), *file->trashDate(), file->size().value_or(0),
                             file->keepUntil() && *file->keepUntil() > now});
    const LimitChoice choice = request.chooser(std::move(items), *measured->volume, request.limits, now);
    if (choice.reasons == 0) return changed;
    CycleReport::Limited limited{path_, choice.reasons, request.limits.trashLimit, request.limits.keepFree, 0,
                                 choice.unfreed};
    if (!choice.names.empty()) {
        PurgeRequest byLimit = request;
        byLimit.why = kWhyLimit;
        const PurgeOutcome outcome = purge(folder, choice.names, byLimit, false);
        limited.items = outcome.deleted.size();
        if (apply(outcome, byLimit, report)) changed = true;
    }
    report.limited.push_back(std::move(limited));
    return changed;
}

bool TrashFolder::moveTrashDates(std::chrono::nanoseconds interval) {
    bool moved = false;
    if (files_)
        for (const auto &file : *files_) {
            if (file->trashDate()) {
                file->setTrashDate(file->trashDate()->dateByAddingInterval(interval));
                moved = true;
            }
            // A keep is for a time the server observes too: a week kept stays a week.
            if (file->keepUntil()) file->setKeepUntil(file->keepUntil()->dateByAddingInterval(interval));
        }
    return moved;
}

size_t TrashFolder::clampTrashDates(const CalendarDate &now) {
    size_t clamped = 0;
    if (files_)
        for (const auto &file : *files_)
            if (file->trashDate() && *file->trashDate() > now) {
                file->setTrashDate(now);
                clamped++;
            }
    return clamped;
}

std::string TrashFolder::description() const {
    std::string text = "TrashFolder = {path = " + path_ + ",files = {";
    if (files_)
        for (const auto &file : *files_) text += file->description() + ",";
    return text + "}}";
}

size_t TrashFolder::hash() const { return std::hash<std::string>()(path_) + listHash(files_); }

bool TrashFolder::isEqualToFolder(const TrashFolder &other) const {
    return this == &other || (path_ == other.path_ && listsEqual(files_, other.files_));
}

}  // namespace quillon
