// The job marker of an export directory, and the job name that a level
// keeping a baseline needs.
#include "job_marker.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "baseline_journal.h"
#include "c_buffer.h"
#include "export_dir.h"
#include "messages.h"
#include "system/atomic_file.h"
#include "system/fd.h"

namespace ark {

namespace {

namespace fs = std::filesystem;

const char *level_word(const ARKZarafa &state) {
    if (state.iBackupLevelFULL)
        return "FULL";
    return state.iBackupLevelDIFF ? "DIFF" : "INCR";
}

std::string marker_path(const std::string &dir) { return dir + "/" + kJobMarker; }

} // namespace

bool job_name_given(const ARKZarafa &state) {
    if (!state.iBackupLevelFULL && !state.iBackupLevelINCR)
        return true;
    // A name of slashes only names no directory of its own either.
    if (view_of(state.cpJobName).find_first_not_of('/') != std::string_view::npos)
        return true;
    msg("Error: a job name is needed for a %s backup: give it with the option word \"-j NAME\"; the job's export "
        "directory keeps what its next backups build on",
        level_word(state));
    return false;
}

std::optional<std::string> marked_job(const std::string &dir) {
    sys::Fd fd(::open(marker_path(dir).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return std::nullopt;
    std::array<char, ARK_JOB_NAME_LEN + 2> buffer{};
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    std::string name(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
    if (const size_t end = name.find('\n'); end != std::string::npos)
        name.resize(end);
    return name;
}

bool claim_export_dir(const ARKZarafa &state) {
    if (export_dir_problem(state))
        return true; // refused where the directory would be used
    const std::string dir = export_dir_path(state);
    if (state.iBackupLevelCOPY) {
        std::optional<std::string> job = marked_job(dir);
        if (!job && holds_diff_baselines(dir))
            job = export_dir_name(state);
        if (!job)
            return true;
        msg("Error: the COPY of save set %s would export into %s, the export directory of job %s; a COPY never "
            "touches a job's files: nothing was removed, give the save set another name",
            state.cpSavesetName, dir.c_str(), job->c_str());
        return false;
    }
    // Without the work directory nothing is made here: the first export
    // makes the directory, and marks it.
    std::error_code ec;
    if (!fs::is_directory(view_of(state.cpTempDir), ec))
        return true;
    return mark_job_dir(state);
}

bool mark_job_dir(const ARKZarafa &state) {
    const std::string dir = export_dir_path(state);
    const std::string job(view_of(state.cpJobName));
    if (marked_job(dir) == job)
        return true;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!ec)
        ec = sys::replace_file(marker_path(dir), job + "\n", 0600);
    if (ec) {
        msg("Error: can't mark %s as the export directory of job %s: %s", dir.c_str(), job.c_str(),
            ec.message().c_str());
        return false;
    }
    return true;
}

} // namespace ark
