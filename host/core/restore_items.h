// The restore side of an operation: DB_InitOperation, each item written
// below the restore directory and announced to the plug-in (its new parent
// directories first), DB_CloseOperation. Where the items come from is the
// front end's business.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "control_vars.h"
#include "db_interface.h"
#include "backup_loop.h"
#include "plugin.h"
#include "run_summary.h"

namespace host {

namespace fs = std::filesystem;

// What the front end shows of each item as it is handled.
class ItemEvents {
public:
    virtual ~ItemEvents() = default;
    // count: the items handled so far, this one included.
    virtual void written(uint64_t count, std::string_view name, uint64_t size) = 0;
    virtual void failed(uint64_t count, std::string_view name) = 0;
};

// Writes one item's content to target (a file that does not exist yet, in
// an existing directory). Returns false, after an "Error:", when the content
// is damaged and was not written; throws std::exception on other failures.
using ItemWriter = std::function<bool(const fs::path &target)>;

class ItemRestorer {
public:
    // Items go below into. fail_item (tests only) is the item, counted over
    // items_seen, that is reported as failed without being written; a pause
    // of store_delay (benchmarks only) follows every item written.
    ItemRestorer(const EntryPoints &db, const fs::path &into, RunSummary &summary, ItemEvents &events,
                 uint64_t &items_seen, std::optional<uint64_t> fail_item = std::nullopt,
                 std::optional<std::chrono::microseconds> store_delay = std::nullopt)
        : db_(db), into_(into), summary_(summary), events_(events), items_seen_(items_seen), fail_item_(fail_item),
          store_delay_(store_delay) {}

    // Writes the item name (a relative path, refused when it could leave
    // into) of size bytes with write, and announces it to the plug-in as
    // restored or failed.
    void restore(const std::string &name, uint64_t size, const ItemWriter &write);

private:
    // Hands a path to DB_SetItem and the result to DB_ItemFinishStatus.
    void announce(DB_ITEM_TYPE type, const fs::path &path, DB_ITEM_RESULT result);
    void make_parents(const fs::path &relative_dir);

    const EntryPoints &db_;
    const fs::path &into_;
    RunSummary &summary_;
    ItemEvents &events_;
    uint64_t &items_seen_; // over every operation of the run, for the test hook
    std::optional<uint64_t> fail_item_;
    std::optional<std::chrono::microseconds> store_delay_;
};

// The whole operation: DB_InitOperation(DB_TYPE_RST, level, vars), items
// when it succeeded, and DB_CloseOperation(vars) in any case. Entry points
// that did not succeed are counted in summary.failed_calls; which of the two
// framing calls succeeded is returned.
OperationCalls run_restore_operation(const EntryPoints &db, DB_OPERATION_LEVEL level, ControlVars &vars, RunSummary &summary,
                           const std::function<void()> &items);

} // namespace host
