// Internal view of the working-directory slot.
#pragma once

namespace ark {

// What utils_push_dir does, telling whether the directory was entered: a
// caller about to write or run something there must not go on elsewhere.
bool push_dir(const char *dir);

} // namespace ark
