#include "server/purge_notice.h"

#include "base/localization.h"
#include "base/log.h"
#include "base/size_text.h"
#include "bus/desktop_notice.h"
#include "trash/item_sizes.h"

namespace quillon {

namespace {

// "/media/stick/.Trash-1000" for its files folder: the trash as the user knows it.
std::string trashName(std::string files) {
    constexpr std::string_view kFiles = "/files";
    if (files.size() > kFiles.size() && files.ends_with(kFiles)) files.resize(files.size() - kFiles.size());
    return files;
}

}  // namespace

void noticePurge(const CycleReport &report, std::function<void(uint32_t)> sent) {
    if (report.freed.empty()) return;
    size_t items = 0;
    uint64_t bytes = 0;
    for (const auto &freed : report.freed) {
        items += freed.items;
        bytes += freed.bytes;
    }
    std::string body = formatted(localizedPlural("Deleted %zu item, %s.", "Deleted %zu items, %s.", items), items,
                                 sizeText(bytes).c_str());
    if (report.freed.size() > 1)
        for (const auto &freed : report.freed)
            body += "\n" + formatted(localizedPlural("%s: %zu item, %s", "%s: %zu items, %s", freed.items),
                                     escapedText(trashName(freed.folder)).c_str(), freed.items, sizeText(freed.bytes).c_str());
    for (const auto &limited : report.limited) {
        const std::string trash = escapedText(trashName(limited.folder));
        if (limited.items != 0 && (limited.reasons & kOverLimit))
            body += "\n" + formatted(localizedString("The trash %s was over its limit of %d%% of its volume."), trash.c_str(),
                                     limited.trashLimit);
        if (limited.items != 0 && (limited.reasons & kTooLittleFree))
            body += "\n" + formatted(localizedString("The volume of the trash %s had less than %d%% free."), trash.c_str(),
                                     limited.keepFree);
        if (limited.unfreed != 0)
            body += "\n" + formatted(localizedString("%s more could not be freed in %s: its items are younger than the minimum age."),
                                     sizeText(limited.unfreed).c_str(), trash.c_str());
    }
    if (!report.failed.empty())
        body += "\n" + formatted(localizedPlural("%zu item could not be deleted and stays for the next cycle.",
                                                 "%zu items could not be deleted and stay for the next cycle.",
                                                 report.failed.size()),
                                 report.failed.size());
    (void)sendDesktopNotice(localizedString("Quillon emptied the trash"), body, {{"show", localizedString("Show")}},
                            std::move(sent));
}

}  // namespace quillon
