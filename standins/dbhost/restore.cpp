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

#include "chain.h"
#include "chain_script.h"
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
#include "terminal.h"

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

// Keeps of the items stored after a save set's last durable batch only
// those whose files are whole, with a warning for each one left out.
void settle(SaveSet &set) {
    for (const std::string &item : settle_unconfirmed(set))
        MessageLog::get().warning("item " + printable(item) + " of save set \"" + printable(set.manifest.saveset) +
                                  "\" was stored after its last durable batch and its file is not whole; it is "
                                  "left out");
}

// Tells the operator what a save set is worth before it is restored.
void report_saveset_state(const SaveSet &set) {
    auto &log = MessageLog::get();
    const Manifest &m = set.manifest;
    const std::string name = printable(m.saveset);
    for (const auto &problem : m.problems)
        log.warning("manifest of save set \"" + name + "\": " + problem);
    const std::string checked =
        set.checked_whole ? " (" + std::to_string(set.checked_whole) +
                                " of them stored after its last durable batch, and found whole)"
                          : "";
    if (!m.ended)
        log.warning("save set \"" + name + "\" is incomplete (its backup was interrupted); " + "restoring the " +
                    std::to_string(m.items.size()) + " items it holds" + checked);
    else if (!m.complete)
        log.warning("save set \"" + name + "\" was written by a backup that had failures" + checked);
}

// The worse of two exit statuses: a failure over warnings over success.
int worse(int a, int b) {
    auto rank = [](int status) { return status == exit_failed ? 2 : status == exit_warnings ? 1 : 0; };
    return rank(b) > rank(a) ? b : a;
}

// One restore operation of the plug-in over the given items of set, written
// below o.into; the exit status it has earned.
int restore_saveset(const EntryPoints &db, const Options &o, const SaveSet &set,
                     const std::vector<const ManifestItem *> &items, RunSummary &summary, uint64_t &items_seen) {
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
    for (const ManifestItem *item : items)
        item_names.push_back(item->name);
    start_progress(o.quiet, item_names);
    ReportedItems events;
    run_restore_operation(db, level_of(m.level), vars, summary, [&] {
        ItemRestorer restorer(db, o.into, summary, events, items_seen, o.test_fail_item, o.test_store_delay);
        for (const ManifestItem *item : items)
            restorer.restore(item->name, item->size,
                             [&](const fs::path &target) { return write_verified(set, *item, target); });
    });
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int status = print_summary(summary);
    return summary.failed_calls == 0 && summary.failed_items == 0 ? status : exit_failed;
}

std::vector<const ManifestItem *> all_items(const SaveSet &set) {
    std::vector<const ManifestItem *> items;
    for (size_t i = 0; i < set.manifest.confirmed; ++i)
        items.push_back(&set.manifest.items[i]);
    return items;
}

// One restore operation of a chain restore: a save set, the requested
// mailboxes whose chains take it, and the items it hands out for them.
struct ChainStep {
    size_t set = 0;
    Options options;
    std::vector<std::string> mailboxes;
    std::vector<const ManifestItem *> items;
};

std::optional<ChainStep> chain_step(const Options &o, const JobChain &chain, size_t i) {
    ChainStep step;
    step.set = i;
    step.options = o;
    step.mailboxes = chain.mailboxes_of_set(i);
    if (step.mailboxes.empty())
        return std::nullopt;
    // Files of mailboxes that take nothing from this save set stay in the
    // store: their chains hold them in another state.
    const Manifest &m = chain.sets[i].manifest;
    for (size_t k = 0; k < m.confirmed; ++k) {
        const ManifestItem &item = m.items[k];
        auto mailbox = mailbox_of_item(item.name);
        if (!mailbox || chain.uses(i, *mailbox))
            step.items.push_back(&item);
    }
    if (o.databases.empty())
        return step;
    step.options.databases.clear();
    step.options.mailboxes.clear();
    const bool any_user = std::any_of(step.mailboxes.begin(), step.mailboxes.end(),
                                      [](const std::string &m) { return m != "PUBLIC_FOLDER"; });
    for (size_t k = 0; k < o.databases.size() && k < o.mailboxes.size(); ++k) {
        const std::string &m = o.mailboxes[k];
        if (m == "ALL" || (m == "ALL_USERS" && any_user) || chain.uses(i, m)) {
            step.options.databases.push_back(o.databases[k]);
            step.options.mailboxes.push_back(m);
        }
    }
    if (step.options.databases.empty())
        return std::nullopt;
    return step;
}

// The directory of the k-th step (from 1) of a no-recovery chain restore:
// each save set's files and scripts apart from the others', so that no
// increment is written over the one before it.
fs::path step_directory(const fs::path &into, size_t k, const SaveSet &set) {
    std::string number = std::to_string(k);
    if (number.size() < 2)
        number.insert(0, "0");
    return into / (number + "-" + saveset_directory_name(set.manifest.saveset));
}

// The full-restore scripts that the plug-in left for a no-recovery step, one
// per mailbox index it received, in the order of the items.
std::vector<RestoreScript> step_scripts(const ChainStep &step, const SaveSet &set) {
    std::vector<RestoreScript> scripts;
    constexpr std::string_view index_suffix = ".index.zbk";
    for (const ManifestItem *item : step.items) {
        const fs::path relative(item->name);
        const std::string file = relative.filename().string();
        auto mailbox = mailbox_of_item(item->name);
        if (!mailbox || !file.ends_with(index_suffix))
            continue;
        RestoreScript script;
        script.dir = step.options.into / relative.parent_path();
        // Named after the mailbox, "PUBLIC_FOLDER" for the public store.
        script.name = *mailbox + ".script.restore-full.sh";
        script.mailbox = *mailbox;
        script.saveset = set.manifest.saveset;
        if (!fs::is_regular_file(fs::symlink_status(script.dir / script.name)))
            MessageLog::get().warning("no restore script " + printable(script.name) + " was written for mailbox " +
                                      printable(*mailbox) + " of save set \"" + printable(set.manifest.saveset) +
                                      "\"; the chain's scripts stop there");
        scripts.push_back(std::move(script));
    }
    return scripts;
}

std::string quoted_names(const JobChain &chain, const std::vector<size_t> &sets) {
    std::string names;
    for (size_t i : sets)
        names += (names.empty() ? "\"" : ", \"") + printable(chain.sets[i].manifest.saveset) + "\"";
    return names;
}

struct ChainReport {
    std::vector<ChainStep> steps;
    std::vector<RunSummary> summaries; // one per step
    std::vector<RestoreScript> scripts;
    fs::path all_scripts; // the script that runs them all; empty when none was written
};

void print_chain_summary(const std::string &job, const JobChain &chain, const ChainReport &r, int status) {
    std::ostringstream out;
    out << "Summary: restore of job \"" << printable(job) << "\" from " << r.steps.size() << " save sets "
        << (status == exit_failed ? "finished with failures"
            : status == exit_warnings ? "succeeded with warnings"
                                      : "succeeded")
        << "\n";
    for (size_t k = 0; k < r.steps.size(); ++k) {
        const Manifest &m = chain.sets[r.steps[k].set].manifest;
        const RunSummary &s = r.summaries[k];
        out << "  " << (k + 1) << ". \"" << printable(m.saveset) << "\" (" << m.level << "): mailboxes";
        for (size_t n = 0; n < r.steps[k].mailboxes.size(); ++n)
            out << (n ? ", " : " ") << printable(r.steps[k].mailboxes[n]);
        out << "; " << s.items << " items";
        if (s.failed_items)
            out << " (" << s.failed_items << " failed)";
        out << ", " << s.bytes << " bytes";
        if (!m.ended)
            out << ", incomplete: its backup was interrupted";
        else if (!m.complete)
            out << ", written by a backup that had failures";
        out << "\n";
    }
    out << "  save sets of each mailbox, in the order restored:\n";
    for (const MailboxChain &mc : chain.mailboxes) {
        out << "    " << printable(mc.mailbox) << ": " << quoted_names(chain, mc.sets);
        if (!mc.from_whole_full)
            out << " (no FULL save set holds it whole)";
        out << "\n";
    }
    for (const std::string &m : chain.not_held)
        out << "    " << printable(m) << ": no save set holds it\n";
    if (!r.scripts.empty()) {
        out << "  restore scripts to run in this order";
        if (!r.all_scripts.empty())
            out << " (" << printable(r.all_scripts.string()) << " runs them all, stopping at the first that fails)";
        out << ":\n";
        for (size_t k = 0; k < r.scripts.size(); ++k)
            out << "    " << (k + 1) << ". cd " << printable(shell_word(r.scripts[k].dir.string())) << " && ./"
                << printable(shell_word(r.scripts[k].name)) << "\n";
    }
    terminal::out() << out.str() << std::flush;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        MessageLog::get().record(line);
}

// The restore of a job's chain, one restore operation per save set that a
// chain of a requested mailbox takes.
int restore_job(const EntryPoints &db, const Options &o, const JobChain &chain) {
    auto &log = MessageLog::get();
    int status = exit_ok;
    const std::string job = printable(*o.job);
    for (const std::string &m : chain.not_held) {
        log.warning("no save set of job \"" + job + "\" holds files of mailbox " + printable(m) +
                    "; it is not restored");
        status = exit_warnings;
    }
    for (const MailboxChain &mc : chain.mailboxes) {
        if (mc.from_whole_full)
            continue;
        log.warning("no FULL save set of job \"" + job + "\" holds mailbox " + printable(mc.mailbox) +
                    " whole; it is restored from what there is: " + quoted_names(chain, mc.sets));
        status = exit_warnings;
    }
    ChainReport report;
    for (size_t i = 0; i < chain.sets.size(); ++i)
        if (std::optional<ChainStep> step = chain_step(o, chain, i))
            report.steps.push_back(std::move(*step));
    if (report.steps.empty()) {
        log.error("no save set of job \"" + job + "\" holds files of the mailboxes to restore");
        return exit_failed;
    }
    std::string names;
    for (const ChainStep &step : report.steps)
        names += (names.empty() ? "\"" : ", \"") + printable(chain.sets[step.set].manifest.saveset) + "\"";
    log.note("restore of job \"" + job + "\" from the save sets " + names);
    for (const ChainStep &step : report.steps)
        report_saveset_state(chain.sets[step.set]);

    uint64_t items_seen = 0;
    report.summaries.resize(report.steps.size());
    for (size_t k = 0; k < report.steps.size(); ++k) {
        ChainStep &step = report.steps[k];
        const SaveSet &set = chain.sets[step.set];
        if (o.no_recovery) {
            step.options.into = step_directory(o.into, k + 1, set);
            std::error_code ec;
            fs::create_directory(step.options.into, ec);
            if (ec || fs::is_symlink(fs::symlink_status(step.options.into)) ||
                !fs::is_directory(fs::symlink_status(step.options.into))) {
                log.error("cannot create " + step.options.into.string() + (ec ? ": " + ec.message() : ""));
                return exit_failed;
            }
        }
        status = worse(status, restore_saveset(db, step.options, set, step.items, report.summaries[k], items_seen));
        if (o.no_recovery)
            for (RestoreScript &script : step_scripts(step, set))
                report.scripts.push_back(std::move(script));
    }
    if (!report.scripts.empty()) {
        const fs::path target = o.into / chain_script_name(*o.job);
        try {
            write_chain_script(target, chain_script_text(*o.job, report.scripts));
            report.all_scripts = target;
        } catch (const std::exception &e) {
            log.error(std::string("the script that runs the chain's restore scripts was not written: ") + e.what());
            status = exit_failed;
        }
    }
    print_chain_summary(*o.job, chain, report, status);
    return status;
}

} // namespace

int run_restore(const Options &o) {
    auto &log = MessageLog::get();
    const std::unique_ptr<Plugin> plugin = Plugin::load_or_report(o.plugin);
    if (!plugin)
        return exit_usage;

    std::optional<SaveSet> single;
    JobChain chain;
    try {
        if (o.saveset) {
            single = open_saveset(o.store, *o.saveset);
            settle(*single);
        } else {
            std::vector<std::string> problems;
            std::vector<SaveSet> sets = job_savesets(o.store, *o.job, problems);
            for (const auto &problem : problems)
                log.warning(problem);
            for (SaveSet &set : sets)
                settle(set);
            chain = plan_job_chain(std::move(sets), o.mailboxes);
        }
    } catch (const std::exception &e) {
        log.error(e.what());
        return exit_failed;
    }
    if (single)
        report_saveset_state(*single);

    if (!prepare_into(o.into))
        return exit_failed;

    const EntryPoints db = with_fault_hooks(plugin->db(), o.test_kill_after_call);
    plugin->install_log_sink();
    if (!single)
        return restore_job(db, o, chain);
    RunSummary summary;
    uint64_t items_seen = 0;
    return restore_saveset(db, o, *single, all_items(*single), summary, items_seen);
}

} // namespace dbhost
