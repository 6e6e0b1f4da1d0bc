#include "restore.h"

#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>

#include "control_vars.h"
#include "exit_status.h"
#include "file_io.h"
#include "item_name.h"
#include "message_log.h"
#include "plugin.h"
#include "report.h"
#include "saveset_store.h"

namespace dbhost {
namespace {

// Written beside the target and renamed onto it once its checksum matched,
// so that a damaged copy never appears under the item's name.
constexpr const char *partial_name = ".dbhost-part";

class ItemRestorer {
public:
    ItemRestorer(const EntryPoints &db, const SaveSet &set, const fs::path &into, RunSummary &summary)
        : db_(db), set_(set), into_(into), summary_(summary) {}

    void restore(const ManifestItem &item);

private:
    // Hands a path to DB_SetItem and the result to DB_ItemFinishStatus.
    void announce(DB_ITEM_TYPE type, const fs::path &path, DB_ITEM_RESULT result);
    void make_parents(const fs::path &relative_dir);
    // Writes the item to target; false (after an "Error:") when its stored
    // copy does not match the manifest.
    bool write_verified(const ManifestItem &item, const fs::path &target);

    const EntryPoints &db_;
    const SaveSet &set_;
    const fs::path &into_;
    RunSummary &summary_;
};

void ItemRestorer::announce(DB_ITEM_TYPE type, const fs::path &path, DB_ITEM_RESULT result) {
    std::string text = path.string(); // a writable copy: the interface passes char*
    if (!entry_point_succeeded("DB_SetItem", db_.set_item(type, text.data())))
        ++summary_.failed_calls;
    if (!entry_point_succeeded("DB_ItemFinishStatus", db_.item_finish_status(result)))
        ++summary_.failed_calls;
}

void ItemRestorer::make_parents(const fs::path &relative_dir) {
    fs::path current = into_;
    for (const auto &part : relative_dir) {
        current /= part;
        if (make_directory(current, 0755)) {
            announce(DB_ITEM_TYPE_DIRECTORY, current, DB_ITEM_SUCCESS);
            continue;
        }
        auto status = fs::symlink_status(current);
        // A link could lead the restore outside the target directory.
        if (fs::is_symlink(status))
            throw StoreError(current.string() + " is a symbolic link; it is not followed");
        if (!fs::is_directory(status))
            throw StoreError(current.string() + " exists and is not a directory");
    }
}

bool ItemRestorer::write_verified(const ManifestItem &item, const fs::path &target) {
    fs::path source = set_.item_file(item.name);
    Fd in = open_regular_file(source);
    fs::path partial = target.parent_path() / partial_name;
    Checked copied = copy_checked(in.get(), source, partial, false);
    if (copied.size != item.size || copied.sha256 != item.sha256) {
        ::unlink(partial.c_str());
        MessageLog::get().error("item " + printable(item.name) + " of save set \"" + printable(set_.manifest.saveset) +
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

void ItemRestorer::restore(const ManifestItem &item) {
    auto &log = MessageLog::get();
    ++summary_.items;
    if (auto problem = item_name_problem(item.name)) {
        log.error("skipping item \"" + printable(item.name) + "\": " + *problem);
        ++summary_.failed_items;
        print_failed_item(summary_.items, item.name);
        return;
    }
    fs::path relative(item.name);
    fs::path target = into_ / relative;
    bool written = false;
    try {
        make_parents(relative.parent_path());
        written = write_verified(item, target);
    } catch (const std::exception &e) {
        log.error("item " + printable(item.name) + " was not restored: " + e.what());
    }
    if (written) {
        summary_.bytes += item.size;
        print_progress(summary_.items, item.name, item.size);
    } else {
        ++summary_.failed_items;
        print_failed_item(summary_.items, item.name);
    }
    announce(DB_ITEM_TYPE_FILE, target, written ? DB_ITEM_SUCCESS : DB_ITEM_FAIL);
}

} // namespace

int run_restore(const Options &o) {
    auto &log = MessageLog::get();
    const std::unique_ptr<Plugin> plugin = Plugin::load_or_report(o.plugin);
    if (!plugin)
        return exit_usage;

    SaveSet set;
    try {
        set = open_saveset(o.store, *o.saveset);
    } catch (const std::exception &e) {
        log.error(e.what());
        return exit_failed;
    }
    const Manifest &m = set.manifest;
    for (const auto &problem : m.problems)
        log.warning("manifest of save set \"" + printable(*o.saveset) + "\": " + problem);
    if (!m.ended)
        log.warning("save set \"" + printable(*o.saveset) + "\" is incomplete (its backup was interrupted); " +
                    "restoring the " + std::to_string(m.items.size()) + " items it holds");
    else if (!m.complete)
        log.warning("save set \"" + printable(*o.saveset) + "\" was written by a backup that had failures");

    std::error_code ec;
    fs::create_directories(o.into, ec);
    if (ec || !fs::is_directory(o.into)) {
        log.error("cannot create " + o.into.string() + (ec ? ": " + ec.message() : ""));
        return exit_failed;
    }

    const EntryPoints &db = plugin->db();
    plugin->install_log_sink();
    ControlVars vars = restore_control_vars(o);
    log.note("restore of save set \"" + printable(*o.saveset) + "\" into " + o.into.string() + " with " +
             o.plugin.string());
    for (const auto &entry : vars.entries())
        log.note("control variable " + printable(entry));

    RunSummary summary;
    summary.operation = "restore";
    summary.saveset = *o.saveset;
    summary.mailboxes = o.mailboxes;
    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> item_names;
    for (const auto &item : m.items)
        item_names.push_back(item.name);
    start_progress(o.quiet, item_names);

    if (entry_point_succeeded("DB_InitOperation", db.init_operation(DB_TYPE_RST, level_of(m.level), vars.array()))) {
        ItemRestorer restorer(db, set, o.into, summary);
        for (const auto &item : m.items)
            restorer.restore(item);
    } else {
        ++summary.failed_calls;
    }
    if (!entry_point_succeeded("DB_CloseOperation", db.close_operation(vars.array())))
        ++summary.failed_calls;

    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int status = print_summary(summary);
    return summary.failed_calls == 0 && summary.failed_items == 0 ? status : exit_failed;
}

} // namespace dbhost
