// Measures the trash model on a large trash folder and prints each figure:
//   - a purge cycle with nothing due, against a bare listing of the folder's top level;
//   - writing and reading the trash list file;
//   - heap memory held per record by the loaded registry;
//   - a cycle with the space limits on, beside a plain one, once item sizes are known.
//
//   trash_cycle_bench [ITEMS [FOLDER]]   defaults: 100000 items under /var/tmp
// The items (empty files) are made on the first run and reused by later ones.
//
//   trash_cycle_bench --cycle DATA_FOLDER       nothing-due cycles over DATA_FOLDER/Trash
//   trash_cycle_bench --purge DATA_FOLDER [secure]   one cycle that purges every item there
// print the seconds the cycle took, for bench/compare_trash.sh (--cycle: the median of three,
// then that of three bare listings of the same folder, alternating with them);
//   trash_cycle_bench --load LIST_FILE     one load in a fresh process: its time and memory.
#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/log.h"
#include "env/environment.h"
#include "fs/atomic_file.h"
#include "policy/space_limits.h"
#include "trash/trash.h"
#include "trash/trash_list_file.h"

namespace {

using Clock = std::chrono::steady_clock;

class BenchEnvironment : public quillon::EnvironmentWrapper {
 public:
    BenchEnvironment(quillon::Environment &target, std::string data)
        : EnvironmentWrapper(target), data_(std::move(data)) {}
    std::string dataFolder() override { return data_; }
    std::string mountTable() override { return ""; }
    // The time as the server's next cycle sees it, an interval on: a folder made for the bench
    // moments ago has settled by then, as a trash left alone between two cycles has.
    quillon::CalendarDate now() override { return EnvironmentWrapper::now().dateByAdding(0, 0, 0, 0, 15, 0); }

 private:
    std::string data_;
};

template <typename F>
double medianSeconds(int runs, F &&work) {
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        auto start = Clock::now();
        work();
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

size_t bareListing(const std::string &folder) {
    size_t count = 0;
    DIR *listing = opendir(folder.c_str());
    while (dirent *entry = readdir(listing)) count += entry->d_name[0] != '.';
    closedir(listing);
    return count;
}

size_t heapInUse() { return mallinfo2().uordblks + mallinfo2().hblkhd; }

}  // namespace

// One cycle over an existing home trash in `data`: nothing due, or everything due.
int timeOneCycle(const std::string &data, bool purgeAll, bool secure) {
    quillon::SystemEnvironment system;
    BenchEnvironment environment(system, data);
    quillon::Environment::setCurrent(&environment);
    quillon::setLogSink([](const std::string &line) { fprintf(stderr, "%s\n", line.c_str()); });
    auto trash = std::make_shared<quillon::Trash>();
    // A cut-off at the far past purges nothing; one far ahead purges whatever is there.
    const auto cutoff = quillon::CalendarDate::fromUnixTime(purgeAll ? quillon::CalendarDate::kLimitSeconds : 0);
    if (!purgeAll) {
        trash->processTrash({cutoff, false});  // every item gets its record first
        std::vector<double> cycles, listings;
        for (int run = 0; run < 3; run++) {
            listings.push_back(medianSeconds(1, [&] { bareListing(data + "/Trash/files"); }));
            cycles.push_back(medianSeconds(1, [&] { trash->processTrash({cutoff, false}); }));
        }
        std::sort(cycles.begin(), cycles.end());
        std::sort(listings.begin(), listings.end());
        printf("%.6f %.6f\n", cycles[1], listings[1]);
        quillon::Environment::setCurrent(nullptr);
        return 0;
    }
    const auto start = Clock::now();
    // Measured as the server measures with notices on, its default: each item's size first.
    trash->processTrash({cutoff, secure, purgeAll});
    printf("%.6f\n", std::chrono::duration<double>(Clock::now() - start).count());
    quillon::Environment::setCurrent(nullptr);
    return 0;
}

// A fresh process's load of the list file at `path`: the memory it peaks at beyond what the
// records keep, which is what a large file costs to read.
int measureOneLoad(const std::string &path) {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const long startPeak = usage.ru_maxrss;
    const size_t before = heapInUse();
    const auto start = Clock::now();
    auto trash = quillon::Trash::trashFromFile(path);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t records = 0;
    for (const auto &folder : *trash->folders()) records += folder->files()->size();
    const double held = static_cast<double>(heapInUse() - before) / 1048576.0;
    getrusage(RUSAGE_SELF, &usage);
    const double peak = static_cast<double>(usage.ru_maxrss - startPeak) / 1024.0;
    printf("load of %zu records: %.0f ms, records hold %.1f MiB, peak resident growth %.1f MiB (%.1f MiB beyond the records)\n",
           records, seconds * 1e3, held, peak, peak - held);
    return 0;
}

int main(int argc, char **argv) {
    if (argc == 3 && std::string(argv[1]) == "--load") return measureOneLoad(argv[2]);
    if (argc >= 3 && (std::string(argv[1]) == "--cycle" || std::string(argv[1]) == "--purge"))
        return timeOneCycle(argv[2], std::string(argv[1]) == "--purge", argc > 3 && std::string(argv[3]) == "secure");
    const long items = argc > 1 ? strtol(argv[1], nullptr, 10) : 100000;
    const std::string base = (argc > 2 ? argv[2] : "/var/tmp") + std::string("/quillon-trash-bench-") + std::to_string(items);
    const std::string files = base + "/Trash/files";
    mkdir(base.c_str(), 0700);
    mkdir((base + "/Trash").c_str(), 0700);
    if (mkdir(files.c_str(), 0700) == 0) {
        printf("making %ld items in %s\n", items, files.c_str());
        for (long i = 0; i < items; i++) {
            char name[64];
            snprintf(name, sizeof name, "/Screenshot from 2026-12-%02ld %06ld.png", i % 28 + 1, i);
            close(open((files + name).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        }
    }
    quillon::SystemEnvironment system;
    BenchEnvironment environment(system, base);
    quillon::Environment::setCurrent(&environment);
    quillon::setLogSink([](const std::string &line) { fprintf(stderr, "%s\n", line.c_str()); });

    const std::string list = base + "/list.plist";
    unlink(list.c_str());
    auto trash = quillon::Trash::trashFromFile(list);
    const quillon::PurgeRequest nothing_due{quillon::CalendarDate::fromUnixTime(0), false};
    trash->processTrash(nothing_due);  // first cycle: every item gets its record, the file is written
    const size_t records = (*trash->folders())[0]->files()->size();

    size_t listed = 0;
    const double listing = medianSeconds(9, [&] { listed = bareListing(files); });
    const double cycle = medianSeconds(9, [&] { trash->processTrash(nothing_due); });
    printf("records: %zu (listing saw %zu)\n", records, listed);
    printf("bare listing of the top level: %.1f ms\n", listing * 1e3);
    printf("cycle with nothing due:        %.1f ms  (%.2f x the listing; goal <= 1.3)\n", cycle * 1e3, cycle / listing);

    const double write = medianSeconds(5, [&] {
        trash->setUnsavedChanges(true);
        trash->save();
    });
    std::string error;
    const double encode = medianSeconds(5, [&] { (void)quillon::encodeTrashList(trash->folders().get(), &error); });
    printf("  the encoding alone, whole in memory: %.1f ms\n", encode * 1e3);
    struct stat st;
    stat(list.c_str(), &st);
    printf("write trash list file:         %.1f ms  (%.1f MiB; goal <= 60 ms)\n", write * 1e3, st.st_size / 1048576.0);
    trash.reset();

    malloc_trim(0);
    const size_t before = heapInUse();
    std::shared_ptr<quillon::Trash> loaded;
    const double read = medianSeconds(5, [&] {
        loaded.reset();
        loaded = quillon::Trash::trashFromFile(list);
    });
    const size_t held = heapInUse() - before;
    std::string bytes = *quillon::readWholeFile(list);
    const double decode = medianSeconds(5, [&] { (void)quillon::decodeTrashList(bytes, &error); });
    printf("  the decoding alone, from memory:     %.1f ms\n", decode * 1e3);
    printf("read trash list file:          %.1f ms  (goal <= 60 ms)\n", read * 1e3);
    printf("heap held by the loaded registry: %.0f bytes per record (goal < 300)\n",
           static_cast<double>(held) / static_cast<double>(records));

    // The space limits on but not reached, so that neither cycle deletes, once the sizes are
    // known: the first such cycle measures every item.
    quillon::PurgeRequest limited = nothing_due;
    limited.limits = {100, 0, 86400};
    limited.chooser = quillon::chooseForLimits;
    loaded->processTrash(limited);
    const double plain = medianSeconds(9, [&] { loaded->processTrash(nothing_due); });
    const double limitsOn = medianSeconds(9, [&] { loaded->processTrash(limited); });
    printf("cycle with the space limits on: %.1f ms  (%.2f x the plain cycle's %.1f ms; goal <= 1.2)\n", limitsOn * 1e3,
           limitsOn / plain, plain * 1e3);

    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("peak resident set of this run: %.1f MiB\n", usage.ru_maxrss / 1024.0);
    quillon::Environment::setCurrent(nullptr);
    return 0;
}
