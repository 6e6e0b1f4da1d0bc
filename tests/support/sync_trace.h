// What a power loss could take back from a run, read from a system-call
// trace. strace records the file and sync calls of a process tree (the
// options are in kStraceOptions); SyncTrace reads that record into a
// timeline of files (followed across renames and links), their writes,
// their names in directories, and the syncs, and answers whether a file's
// content or name was durable at a given point:
//
// - a file's content is durable once every change to it (a write, a copy
//   into it, a truncation) has been followed by an fsync or fdatasync of
//   it, or by a syncfs of its file system or a sync;
// - a name created, renamed or removed in a directory is durable once an
//   fsync of that directory, a syncfs or a sync followed it.
//
// A sync covers what was complete when it started and counts from when it
// returned; a checked call counts from when it started. sync_file_range is
// counted as a sync but makes nothing durable.
//
// check_power_loss_ordering() applies this to a backup through the backup
// host: see there.
#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace arktest {

namespace fs = std::filesystem;

// The options for strace, before "-o FILE --" and the command.
extern const std::vector<std::string> kStraceOptions;

class SyncTrace {
public:
    // Reads strace's output (of kStraceOptions); the first process in it is
    // the host. Paths are made absolute and normal; a directory that exists
    // when the trace is read has its symbolic links resolved.
    static SyncTrace parse(const std::string &text);
    static SyncTrace read(const fs::path &file);

    using Time = std::size_t; // the position of a call's line in the trace

    enum class SyncKind { fsync, fdatasync, syncfs, sync, range };
    struct Sync {
        Time start = 0, end = 0;
        SyncKind kind = SyncKind::fsync;
        std::string path; // of the descriptor; empty for sync
        int pid = 0;
    };
    struct Write {
        Time at = 0;
        int pid = 0;
        std::string text; // the strings the call passed, as strace shows them
    };
    struct File {
        bool directory = false;
        bool anonymous = false; // opened with O_TMPFILE: its first name is "DIR/#INODE"
        std::vector<Write> writes;
        // The names it had, from when: an empty path is "no name".
        std::vector<std::pair<Time, std::string>> names;
        std::optional<Time> created; // never when it was there before the trace
        int creator = 0;             // the pid that created it
        std::string name_at(Time t) const;
        std::string last_name() const { return names.empty() ? "" : names.back().second; }
        // The last name it had, even if it was removed since.
        std::string final_name() const;
    };
    struct Process {
        int pid = 0, parent = 0;
        int group = 0;       // the thread group (the process of a thread)
        Time spawned = 0;    // the start of the call that made it
        Time last = 0;       // its last line
        std::vector<std::string> argv; // of its last successful execve
        std::optional<Time> exec;
    };
    struct Removal {
        Time at = 0; // the start of the call
        int pid = 0;
        int file = -1;
        std::string path;
    };

    const std::vector<File> &files() const { return files_; }
    const std::vector<Sync> &syncs() const { return syncs_; }
    const std::map<int, Process> &processes() const { return processes_; }
    const std::vector<Removal> &removals() const { return removals_; }
    int host_pid() const { return host_; }
    bool host_process(int pid) const;
    // The earliest spawn of pid's ancestors below the host (pid's own when
    // the host made it): when the host set out to run what pid runs.
    Time started_by_host(int pid) const;

    // The file at path at t; -1 when there was none.
    int file_at(const std::string &path, Time t) const;
    // Every change of the file's content made before t was synced before t.
    bool content_durable(int file, Time t) const;
    // The name path had at t (a file's, or none) was durable at t: it was
    // there before the trace, or a sync of its directory followed its last
    // change.
    bool name_durable(const std::string &path, Time t) const;
    // name_durable for path and each directory above it below top.
    bool names_durable_below(const std::string &path, const std::string &top, Time t) const;

private:
    friend class TraceReader;
    std::vector<File> files_;
    std::vector<Sync> syncs_;
    std::map<int, Process> processes_;
    std::vector<Removal> removals_;
    // Changes of each name, in time order: the file it then names, or -1.
    std::map<std::string, std::vector<std::pair<Time, int>>> name_changes_;
    int host_ = 0;

    bool directory_synced(const std::string &dir, Time after, Time before) const;
};

// The mount point of the file system that holds path.
std::string mount_point_of(const std::string &path);

// Checks the order in which a backup through the backup host made things
// durable. work_root holds the plug-in's export directories, store_root the
// host's save sets. Exports are the processes the host started that wrote
// files below work_root; a journal record is a file the host created below
// work_root and later removed; it stands for the exports whose mailbox
// (the tool's argument) or stem (an output's name up to its first ".") it
// names, as a whole word, in one of its names or in what was written to it.
// The removal of the first such record after an export started is that
// export's commit: its baseline moves there. Checked:
// - when the host starts the export, the record exists, its content is
//   durable, and so is its name (and those of the directories between it and
//   the export's directory);
// - at the commit, each output still at its name has durable content; each
//   output has a copy in the store (the latest file of the output's name
//   placed below store_root since the export started) whose content and
//   names up to store_root are durable, and so is every other file then at
//   its final name in the same save set (the manifest). A store that keeps
//   no file of the output's name is held to the same for every save set it
//   wrote to since the export started.
struct OrderingReport {
    int exports = 0;
    int commits = 0;
    std::vector<std::string> violations;
    std::string describe() const;
};
OrderingReport check_power_loss_ordering(const SyncTrace &trace, const fs::path &work_root,
                                         const fs::path &store_root);

// The syncs the host process made, apart by where: on descriptors below
// work_root (the plug-in), below store_root (the host's store), elsewhere;
// those of other processes (the tools) are in tools.
struct SyncCounts {
    long plugin = 0, host = 0, other = 0, tools = 0;
};
SyncCounts count_syncs(const SyncTrace &trace, const fs::path &work_root, const fs::path &store_root);

} // namespace arktest
