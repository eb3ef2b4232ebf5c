#include "settings/purge_preview.h"

#include <cerrno>

#include "platform/atomic_file.h"
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

std::vector<PreviewFolder> previewCycle(const FolderList &folders, const CalendarDate &cycle, int period, int units) {
    std::vector<PreviewFolder> out;
    const auto cutoff = TrashServer::cutoffDate(cycle, period, units);
    if (!cutoff) return out;
    for (const auto &folder : folders) {
        const ItemSizes sizes(folder->path());
        PreviewFolder due{folder->path(), {}, 0, false};
        for (const auto &file : *folder->files()) {
            const auto &seen = file->trashDate();
            if (!seen || !(*seen < *cutoff) || !sizes.present(file->path())) continue;
            const auto bytes = sizes.bytes(file->path());
            due.items.push_back({file->path(), bytes});
            due.bytes += bytes.value_or(0);
            due.someUnknown = due.someUnknown || !bytes;
        }
        if (!due.items.empty()) out.push_back(std::move(due));
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
