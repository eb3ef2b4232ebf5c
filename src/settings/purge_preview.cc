#include "settings/purge_preview.h"

#include <atomic>
#include <cerrno>
#include <memory>

#include "platform/atomic_file.h"
#include "platform/blocking_work.h"
#include "platform/item_sizes.h"
#include "platform/localization.h"
#include "server/trash_server.h"
#include "trash/trash_list_file.h"

namespace quillon {

std::optional<FolderList> rememberedFolders(std::string *error) {
    const std::string path = TrashServer::listFilePath();
    const PathKind kind = examinePath(path);
    if (kind == PathKind::kMissing) return FolderList{};
    if (kind == PathKind::kDirectory) {
        *error = localizedString("it is a folder");
        return std::nullopt;
    }
    auto folders = readTrashList(path, error);
    if (!folders && errno != 0) *error = localizedString("it cannot be read");
    return folders;
}

std::optional<std::map<std::string, ItemFacts>> lookAtItems(const std::string &files,
                                                            const std::vector<std::string> &names) {
    // One flag per folder for the life of the process: a panel that looks again does not wait
    // again on a volume that has not answered since.
    static std::map<std::string, std::shared_ptr<std::atomic<bool>>> looking;
    auto &flag = looking[files];
    if (!flag) flag = std::make_shared<std::atomic<bool>>(false);
    auto facts = std::make_shared<std::map<std::string, ItemFacts>>();
    const bool answered = runPatiently(
        [facts, files, names] {
            const ItemSizes sizes{PinnedFolder(files)};
            for (const std::string &name : names) {
                ItemFacts &item = (*facts)[name];
                item.present = sizes.present(name);
                if (item.present) item.bytes = sizes.bytes(name);
                noteProgress();
            }
        },
        flag);
    if (!answered) return std::nullopt;
    return std::move(*facts);
}

std::string notAnsweringText() { return localizedString("this volume does not answer: its items cannot be looked at"); }

std::vector<PreviewFolder> previewCycle(const FolderList &folders, const CalendarDate &cycle, int period, int units) {
    std::vector<PreviewFolder> out;
    const auto cutoff = TrashServer::cutoffDate(cycle, period, units);
    if (!cutoff) return out;
    for (const auto &folder : folders) {
        std::vector<std::string> names;
        for (const auto &file : *folder->files())
            if (file->trashDate() && *file->trashDate() < *cutoff) names.push_back(file->path());
        if (names.empty()) continue;
        const auto facts = lookAtItems(folder->path(), names);
        PreviewFolder due{folder->path(), {}, 0, false, !facts};
        for (const std::string &name : names) {
            if (!facts || !facts->at(name).present) continue;
            const auto &bytes = facts->at(name).bytes;
            due.items.push_back({name, bytes});
            due.bytes += bytes.value_or(0);
            due.someUnknown = due.someUnknown || !bytes;
        }
        if (!due.items.empty() || due.notAnswering) out.push_back(std::move(due));
    }
    return out;
}

std::string freedText(const PreviewFolder &folder) {
    const size_t n = folder.items.size();
    return formatted(folder.someUnknown ? localizedPlural("%zu item, at least %s freed", "%zu items, at least %s freed", n)
                                        : localizedPlural("%zu item, %s freed", "%zu items, %s freed", n),
                     n, sizeText(folder.bytes).c_str());
}

}  // namespace quillon
