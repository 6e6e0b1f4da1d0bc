#include "restore.h"

#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>
#include <system_error>

#include "control_vars.h"
#include "exit_status.h"
#include "fault_hooks.h"
#include "file_io.h"
#include "host_core.h"
#include "item_name.h"
#include "message_log.h"
#include "plugin.h"
#include "report.h"
#include "restore_items.h"
#include "system/private_dir.h"
#include "saveset_store.h"

namespace dbhost {
namespace {

// Written beside the target and renamed onto it once its checksum matched,
// so that a damaged copy never appears under the item's name.
constexpr const char *partial_name = ".dbhost-part";

// The progress lines of dbhost.
class ReportedItems : public ItemEvents {
public:
    void written(uint64_t count, std::string_view name, uint64_t size) override { print_progress(count, name, size); }
    void failed(uint64_t count, std::string_view name) override { print_failed_item(count, name); }
};

// The restore target: made (0700) where missing, and used only when it and
// every directory above it is one that nobody else can change (a parent
// may be shared with the sticky bit, as /tmp is): the plug-in runs its
// restore there as this user.
bool prepare_into(const fs::path &into) {
    ark::sys::OpenedDir dir;
    if (auto why = ark::sys::open_trusted_dir(fs::absolute(into).lexically_normal().string(), true, false, dir)) {
        MessageLog::get().error("cannot use " + into.string() + " as the restore target: " + *why);
        return false;
    }
    return true;
}

// Writes a stored item to target; false (after an "Error:") when its stored
// copy does not match the manifest.
bool write_verified(const SaveSet &set, const ManifestItem &item, const fs::path &target) {
    fs::path source = set.item_file(item.name);
    Fd in = open_regular_file(source);
    fs::path partial = target.parent_path() / partial_name;
    Checked copied = copy_checked(in.get(), source, partial, false);
    if (copied.size != item.size || copied.sha256 != item.sha256) {
        ::unlink(partial.c_str());
        MessageLog::get().error("item " + printable(item.name) + " of save set \"" + printable(set.manifest.saveset) +
                                "\" is damaged (stored " + std::to_string(copied.size) + " bytes with SHA-256 " +
                                copied.sha256 + ", the manifest says " + std::to_string(item.size) + " bytes with " +
                                item.sha256 + "); it was not restored");
        return false;
    }
    if (::rename(partial.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(partial.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + target.string());
    }
    return true;
}

// Tells the operator what a save set is worth before it is restored.
void report_saveset_state(const SaveSet &set) {
    auto &log = MessageLog::get();
    const Manifest &m = set.manifest;
    const std::string name = printable(m.saveset);
    for (const auto &problem : m.problems)
        log.warning("manifest of save set \"" + name + "\": " + problem);
    if (!m.ended)
        log.warning("save set \"" + name + "\" is incomplete (its backup was interrupted); " + "restoring the " +
                    std::to_string(m.items.size()) + " items it holds");
    else if (!m.complete)
        log.warning("save set \"" + name + "\" was written by a backup that had failures");
}

// The worse of two exit statuses: a failure over warnings over success.
int worse(int a, int b) {
    auto rank = [](int status) { return status == exit_failed ? 2 : status == exit_warnings ? 1 : 0; };
    return rank(b) > rank(a) ? b : a;
}

// One restore operation of the plug-in over the items of set; the exit
// status it has earned.
int restore_saveset(const EntryPoints &db, const Options &o, const SaveSet &set, RunSummary &summary,
                     uint64_t &items_seen) {
    auto &log = MessageLog::get();
    Options per_set = o;
    per_set.saveset = set.manifest.saveset;
    ControlVars vars = restore_control_vars(per_set);
    log.note("restore of save set \"" + printable(set.manifest.saveset) + "\" into " + o.into.string() + " with " +
             o.plugin.string());
    for (const auto &entry : vars.entries())
        log.note("control variable " + printable(entry));

    summary.operation = "restore";
    summary.saveset = set.manifest.saveset;
    summary.mailboxes = o.mailboxes;
    auto started = std::chrono::steady_clock::now();
    const Manifest &m = set.manifest;
    std::vector<std::string> item_names;
    for (const auto &item : m.items)
        item_names.push_back(item.name);
    start_progress(o.quiet, item_names);
    ReportedItems events;
    run_restore_operation(db, level_of(m.level), vars, summary, [&] {
        ItemRestorer restorer(db, o.into, summary, events, items_seen, o.test_fail_item, o.test_store_delay);
        for (const auto &item : m.items)
            restorer.restore(item.name, item.size,
                             [&](const fs::path &target) { return write_verified(set, item, target); });
    });
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int status = print_summary(summary);
    return summary.failed_calls == 0 && summary.failed_items == 0 ? status : exit_failed;
}

bool earlier_backup(const SaveSet &a, const SaveSet &b) {
    const Manifest &x = a.manifest, &y = b.manifest;
    if (x.sequence && y.sequence)
        return x.sequence < y.sequence;
    if (x.created != y.created)
        return x.created < y.created;
    return x.saveset < y.saveset;
}

// The job's last FULL save set and every later one of the job, in the order
// of their backups.
std::vector<SaveSet> job_chain(const fs::path &store, const std::string &job) {
    auto &log = MessageLog::get();
    std::vector<std::string> problems;
    std::vector<SaveSet> sets;
    for (SaveSet &set : read_store(store, problems))
        if (set.manifest.job == job)
            sets.push_back(std::move(set));
    for (const auto &problem : problems)
        log.warning(problem);
    std::stable_sort(sets.begin(), sets.end(), earlier_backup);
    auto full = std::find_if(sets.rbegin(), sets.rend(), [](const SaveSet &s) { return s.manifest.level == "FULL"; });
    if (full == sets.rend())
        throw StoreError("the store " + store.string() + " holds no FULL save set of the job \"" + printable(job) +
                         "\"");
    sets.erase(sets.begin(), full.base() - 1);
    return sets;
}

// The mailbox an item was exported from, by the names the plug-in gives its
// files ("NAME.index.zbk", "NAME.data.zbk", "Public" for the public store).
std::optional<std::string> mailbox_of_item(const std::string &item) {
    const std::string name = fs::path(item).filename().string();
    for (std::string_view suffix : {".index.zbk", ".data.zbk"}) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            std::string stem = name.substr(0, name.size() - suffix.size());
            return stem == "Public" ? std::string("PUBLIC_FOLDER") : stem;
        }
    }
    return std::nullopt;
}

// The options of one save set of a chain: the requested mailboxes whose files
// it holds (a backup that was interrupted or failed holds only some). Nothing
// when it holds none of them.
std::optional<Options> chain_step(const Options &o, const SaveSet &set) {
    if (set.manifest.items.empty())
        return std::nullopt;
    if (o.databases.empty())
        return o;
    std::set<std::string> held;
    for (const ManifestItem &item : set.manifest.items)
        if (auto mailbox = mailbox_of_item(item.name))
            held.insert(*mailbox);
    Options step = o;
    step.databases.clear();
    step.mailboxes.clear();
    for (size_t i = 0; i < o.databases.size() && i < o.mailboxes.size(); ++i) {
        const std::string &m = o.mailboxes[i];
        if (m != "ALL" && m != "ALL_USERS" && !held.count(m))
            continue;
        step.databases.push_back(o.databases[i]);
        step.mailboxes.push_back(o.mailboxes[i]);
    }
    if (step.databases.empty())
        return std::nullopt;
    return step;
}

void print_chain_summary(const std::string &job, const std::vector<SaveSet> &sets,
                         const std::vector<RunSummary> &summaries, int status) {
    std::ostringstream out;
    out << "Summary: restore of job \"" << printable(job) << "\" from " << sets.size() << " save sets "
        << (status == exit_failed ? "finished with failures"
            : status == exit_warnings ? "succeeded with warnings"
                                      : "succeeded")
        << "\n";
    for (size_t i = 0; i < sets.size(); ++i) {
        const Manifest &m = sets[i].manifest;
        const RunSummary &s = summaries[i];
        out << "  " << (i + 1) << ". \"" << printable(m.saveset) << "\" (" << m.level << "): ";
        if (s.skipped) {
            out << "skipped, it holds no files of the mailboxes to restore\n";
            continue;
        }
        if (!s.mailboxes.empty()) {
            out << "mailboxes";
            for (size_t k = 0; k < s.mailboxes.size(); ++k)
                out << (k ? ", " : " ") << printable(s.mailboxes[k]);
            out << "; ";
        }
        out << s.items << " items";
        if (s.failed_items)
            out << " (" << s.failed_items << " failed)";
        out << ", " << s.bytes << " bytes";
        if (!m.ended)
            out << ", incomplete: its backup was interrupted";
        else if (!m.complete)
            out << ", written by a backup that had failures";
        out << "\n";
    }
    std::cout << out.str() << std::flush;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        MessageLog::get().record(line);
}

} // namespace

int run_restore(const Options &o) {
    auto &log = MessageLog::get();
    const std::unique_ptr<Plugin> plugin = Plugin::load_or_report(o.plugin);
    if (!plugin)
        return exit_usage;

    std::vector<SaveSet> sets;
    try {
        if (o.saveset)
            sets.push_back(open_saveset(o.store, *o.saveset));
        else
            sets = job_chain(o.store, *o.job);
    } catch (const std::exception &e) {
        log.error(e.what());
        return exit_failed;
    }
    for (const SaveSet &set : sets)
        report_saveset_state(set);

    if (!prepare_into(o.into))
        return exit_failed;

    const EntryPoints db = with_fault_hooks(plugin->db(), o.test_kill_after_call);
    plugin->install_log_sink();
    if (!o.saveset) {
        std::string names;
        for (const SaveSet &set : sets)
            names += (names.empty() ? "" : ", ") + ("\"" + printable(set.manifest.saveset) + "\"");
        log.note("restore of job \"" + printable(*o.job) + "\" from its last FULL save set on: " + names);
    }
    int status = exit_ok;
    uint64_t items_seen = 0;
    std::vector<RunSummary> summaries(sets.size());
    for (size_t i = 0; i < sets.size(); ++i) {
        if (o.saveset) {
            status = worse(status, restore_saveset(db, o, sets[i], summaries[i], items_seen));
            continue;
        }
        const std::optional<Options> step = chain_step(o, sets[i]);
        if (!step) {
            log.note("save set \"" + printable(sets[i].manifest.saveset) +
                     "\" holds no files of the mailboxes to restore; skipped");
            summaries[i].skipped = true;
            continue;
        }
        status = worse(status, restore_saveset(db, *step, sets[i], summaries[i], items_seen));
    }
    if (!o.saveset)
        print_chain_summary(*o.job, sets, summaries, status);
    return status;
}

} // namespace dbhost
