// The commands of the Application API. Each returns the exit status of the
// application: 0 when Amanda may keep what it did, 1 otherwise.
#pragma once

#include <memory>

#include "app_options.h"
#include "plugin.h"

namespace amanda_app {

int run_support(const AppOptions &options);
int run_selfcheck(const AppOptions &options);
int run_estimate(const AppOptions &options);
int run_backup(const AppOptions &options);
int run_restore(const AppOptions &options);
int run_validate(const AppOptions &options);

// What every command that drives the plug-in starts with: the server tools'
// environment (ENV) set, the work directory made when it is missing, the
// message log opened (LOG-FILE, by default amarkzarafa.log in the work
// directory) and standard output and error diverted to it.
void prepare_session(const AppSettings &settings);

// The work directory, made 0700 when it is missing (its parent must exist);
// why it cannot serve, or nothing.
std::optional<std::string> work_dir_problem(const fs::path &dir);

// amrecover runs the restore as root, while the work directory and what the
// job keeps in it belong to the Amanda user that makes the dumps. Run as
// root, this takes on the user and groups of the work directory's owner
// (when that is not root), so that the restore uses the job's files as its
// dumps do and leaves nothing behind that the next dump cannot remove. Why
// it could not, or nothing (also when not root or the directory is missing).
std::optional<std::string> become_work_dir_owner(const fs::path &dir);

// The plug-in loaded, its messages on the message log; nullptr after an
// "Error:".
std::unique_ptr<host::Plugin> load_plugin(const AppSettings &settings);

// The plug-in's level for an Amanda level: 0 FULL, 1 DIFF.
const char *level_word(int level);

} // namespace amanda_app
