// One operation per job directory: a backup holds an exclusive lock on its
// export directory from its set-up to its close. The lock lives on the
// directory itself (flock on a descriptor of it), so that no lock file can
// be planted or left behind, and clearing the directory's contents keeps
// it. Every tool the operation starts inherits the descriptor: a tool that
// outlives its host still holds the lock, and the next run waits for it.
#pragma once

#include <sys/types.h>

#include <string>

namespace ark {

// Locks the export directory dir of the operation that is being set up,
// by the descriptor dir_fd that the caller opened and checked (the lock
// keeps a description of its own); it is handed to every tool started until
// the lock is released. False, after an "Error:" that names the directory
// (and the process that holds it, where that can be learned), when another
// operation holds it.
bool take_job_lock_fd(int dir_fd, const std::string &dir);

// Ends the lock (and its inheritance by tools started from now on); tools
// still running keep it until they end.
void release_job_lock();

bool job_lock_held();

// The process that holds a lock on the file (device, inode), as
// "process PID (NAME)", or empty when that can't be learned.
std::string lock_holder(dev_t device, ino_t inode);

} // namespace ark
