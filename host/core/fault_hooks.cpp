#include "fault_hooks.h"

#include <signal.h>
#include <unistd.h>

#include <thread>

namespace host {
namespace {

// Entry points are plain C function pointers, so the counting wrappers reach
// the real ones through process-wide state; a process drives one plug-in.
EntryPoints g_real;
uint64_t g_calls = 0;
std::optional<uint64_t> g_kill_after;

template <typename R> R counted(R result) {
    if (g_kill_after && ++g_calls == *g_kill_after)
        ::kill(::getpid(), SIGKILL);
    return result;
}

int init_operation(DB_OPERATION_TYPE type, DB_OPERATION_LEVEL level, char **vars) {
    return counted(g_real.init_operation(type, level, vars));
}
int get_item(char *backup_directory, char *original_directory, char *name) {
    return counted(g_real.get_item(backup_directory, original_directory, name));
}
int set_item(DB_ITEM_TYPE type, char *item) { return counted(g_real.set_item(type, item)); }
int item_finish_status(DB_ITEM_RESULT result) { return counted(g_real.item_finish_status(result)); }
int close_operation(char **vars) { return counted(g_real.close_operation(vars)); }

} // namespace

EntryPoints with_fault_hooks(const EntryPoints &db, std::optional<uint64_t> kill_after_call) {
    if (!kill_after_call)
        return db;
    g_real = db;
    g_calls = 0;
    g_kill_after = kill_after_call;
    EntryPoints hooked = db;
    hooked.init_operation = init_operation;
    hooked.get_item = get_item;
    hooked.set_item = set_item;
    hooked.item_finish_status = item_finish_status;
    hooked.close_operation = close_operation;
    return hooked;
}

void pause_after_store(std::optional<std::chrono::microseconds> delay) {
    if (delay && delay->count() > 0)
        std::this_thread::sleep_for(*delay); // resumes after a signal for the time left
}

} // namespace host
