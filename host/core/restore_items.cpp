#include "restore_items.h"

#include <stdexcept>

#include "fault_hooks.h"
#include "file_io.h"
#include "item_name.h"
#include "message_log.h"
#include "printable.h"

namespace host {

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
        if (make_directory(current, 0700)) {
            announce(DB_ITEM_TYPE_DIRECTORY, current, DB_ITEM_SUCCESS);
            continue;
        }
        auto status = fs::symlink_status(current);
        // A link could lead the restore outside the target directory.
        if (fs::is_symlink(status))
            throw std::runtime_error(current.string() + " is a symbolic link; it is not followed");
        if (!fs::is_directory(status))
            throw std::runtime_error(current.string() + " exists and is not a directory");
    }
}

void ItemRestorer::restore(const std::string &name, uint64_t size, const ItemWriter &write) {
    auto &log = MessageLog::get();
    ++summary_.items;
    if (auto problem = item_name_problem(name)) {
        log.error("skipping item \"" + printable(name) + "\": " + *problem);
        ++summary_.failed_items;
        events_.failed(summary_.items, name);
        return;
    }
    fs::path relative(name);
    fs::path target = into_ / relative;
    bool written = false;
    if (fail_item_ && ++items_seen_ == *fail_item_) {
        log.warning("test hook: item " + printable(name) + " is reported as failed without being written");
        ++summary_.failed_items;
        events_.failed(summary_.items, name);
        announce(DB_ITEM_TYPE_FILE, target, DB_ITEM_FAIL);
        return;
    }
    try {
        make_parents(relative.parent_path());
        written = write(target);
    } catch (const std::exception &e) {
        log.error("item " + printable(name) + " was not restored: " + e.what());
    }
    if (written) {
        summary_.bytes += size;
        events_.written(summary_.items, name, size);
        pause_after_store(store_delay_);
    } else {
        ++summary_.failed_items;
        events_.failed(summary_.items, name);
    }
    announce(DB_ITEM_TYPE_FILE, target, written ? DB_ITEM_SUCCESS : DB_ITEM_FAIL);
}

void run_restore_operation(const EntryPoints &db, DB_OPERATION_LEVEL level, ControlVars &vars, RunSummary &summary,
                           const std::function<void()> &items) {
    if (entry_point_succeeded("DB_InitOperation", db.init_operation(DB_TYPE_RST, level, vars.array())))
        items();
    else
        ++summary.failed_calls;
    if (!entry_point_succeeded("DB_CloseOperation", db.close_operation(vars.array())))
        ++summary.failed_calls;
}

} // namespace host
