// Test-only faults of the host: dying abruptly after a given entry-point
// call, and reporting a given item as failed without storing it. They let
// tests show what the plug-in leaves behind when its host crashes or its
// store fails at any point of an operation. A pause after each stored item
// lets benchmarks model a slow store.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "plugin.h"

namespace host {

// The plug-in's entry points, counting the operation calls (DB_InitOperation,
// DB_GetItem, DB_SetItem, DB_ItemFinishStatus, DB_CloseOperation) of this
// process. With kill_after_call, the process ends by SIGKILL, without any
// clean-up, right after that call returns.
EntryPoints with_fault_hooks(const EntryPoints &db, std::optional<uint64_t> kill_after_call);

// Sleeps the whole delay, if one is given, after an item was stored or written.
void pause_after_store(std::optional<std::chrono::microseconds> delay);

} // namespace host
