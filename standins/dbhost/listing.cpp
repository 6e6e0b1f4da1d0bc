#include "listing.h"

#include <cstdio>
#include <iostream>

#include "exit_status.h"
#include "host_core.h"
#include "message_log.h"
#include "report.h"
#include "saveset_store.h"

namespace dbhost {
namespace {

std::string state_of(const Manifest &m) {
    if (!m.ended)
        return "incomplete";
    return m.complete ? "complete" : "failed";
}

uint64_t bytes_of(const Manifest &m) {
    uint64_t total = 0;
    for (const auto &item : m.items)
        total += item.size;
    return total;
}

void list_items(const SaveSet &set) {
    const Manifest &m = set.manifest;
    std::cout << "Save set \"" << printable(m.saveset) << "\": level " << m.level;
    if (!m.job.empty())
        std::cout << ", job " << printable(m.job);
    std::cout << ", created " << local_time(m.created) << ", " << state_of(m) << ", " << m.items.size()
              << " items, " << bytes_of(m) << " bytes";
    if (m.confirmed < m.items.size())
        std::cout << ", " << m.items.size() - m.confirmed
                  << " of the items stored after its last durable batch (a restore uses each only when its file "
                     "checks whole)";
    std::cout << "\n";
    std::printf("%14s  %-64s  %-5s  %-19s  %s\n", "SIZE", "SHA256", "LEVEL", "STORED", "ITEM");
    std::fflush(stdout);
    for (const auto &item : m.items)
        std::printf("%14llu  %-64s  %-5s  %-19s  %s\n", static_cast<unsigned long long>(item.size),
                    item.sha256.c_str(), item.level.c_str(), local_time(item.time).c_str(),
                    printable(item.name).c_str());
}

void list_savesets(const std::vector<SaveSet> &sets) {
    std::printf("%-5s  %7s  %14s  %-19s  %-10s  %s\n", "LEVEL", "ITEMS", "BYTES", "CREATED", "STATE", "SAVESET");
    for (const auto &set : sets) {
        const Manifest &m = set.manifest;
        std::printf("%-5s  %7zu  %14llu  %-19s  %-10s  %s\n", m.level.c_str(), m.items.size(),
                    static_cast<unsigned long long>(bytes_of(m)), local_time(m.created).c_str(),
                    state_of(m).c_str(),
                    (printable(m.saveset) + (set.staged ? " (an unfinished --replace, kept at its next run)" : ""))
                        .c_str());
    }
}

} // namespace

int run_list(const Options &o) {
    auto &log = MessageLog::get();
    try {
        if (o.saveset) {
            SaveSet set = open_saveset(o.store, *o.saveset);
            for (const auto &problem : set.manifest.problems)
                log.warning("manifest of save set \"" + printable(*o.saveset) + "\": " + problem);
            list_items(set);
        } else {
            std::vector<std::string> problems;
            std::vector<SaveSet> sets = read_store(o.store, problems);
            for (const auto &problem : problems)
                log.warning(problem);
            list_savesets(sets);
        }
    } catch (const std::exception &e) {
        log.error(e.what());
        return exit_failed;
    }
    std::fflush(stdout);
    return exit_ok;
}

} // namespace dbhost
