// The job marker of an export directory, and the job name that a level
// keeping a baseline needs.
#include "job_marker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string_view>
#include <system_error>

#include "baseline_journal.h"
#include "c_buffer.h"
#include "export_dir.h"
#include "messages.h"
#include "system/fd.h"
#include "system/private_dir.h"
#include "work_tree.h"

namespace ark {

namespace {

const char *level_word(const ARKZarafa &state) {
    if (state.iBackupLevelFULL)
        return "FULL";
    return state.iBackupLevelDIFF ? "DIFF" : "INCR";
}

// Hidden like the marker, so a scan of the directory never hands it out.
const std::string kMarkerTemp = std::string(".") + kJobMarker + ".tmp";

std::string marker_path(const std::string &dir) { return dir + "/" + kJobMarker; }

std::error_code last_error() { return {errno, std::generic_category()}; }

// Why st is not a marker this process may trust, or nothing.
std::optional<std::string> untrusted_marker(const struct stat &st) {
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link";
    if (S_ISFIFO(st.st_mode))
        return "is a FIFO";
    if (S_ISDIR(st.st_mode))
        return "is a directory";
    if (!S_ISREG(st.st_mode))
        return "is not a regular file";
    if (st.st_uid != ::geteuid())
        return "is owned by uid " + std::to_string(st.st_uid) + ", not by uid " + std::to_string(::geteuid());
    // Another name could lead a writer from outside the directory to it.
    if (st.st_nlink != 1)
        return "has " + std::to_string(st.st_nlink) + " names";
    return std::nullopt;
}

// The marker written anew beside the old one and renamed over it, so that
// whatever stood at the name is replaced, never written through.
std::error_code write_marker(int dirfd, const std::string &job, std::string &at) {
    at = kMarkerTemp;
    struct stat left {};
    // A crashed run's temporary file goes; anything else there makes the
    // creation fail below.
    if (::fstatat(dirfd, kMarkerTemp.c_str(), &left, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(left.st_mode) &&
        left.st_uid == ::geteuid())
        ::unlinkat(dirfd, kMarkerTemp.c_str(), 0);
    std::error_code ec;
    sys::Fd out = sys::create_new_file(dirfd, kMarkerTemp, 0600, ec);
    if (ec)
        return ec;
    ec = sys::write_all(out.get(), job + "\n");
    if (!ec && ::fsync(out.get()) != 0)
        ec = last_error();
    if (!ec)
        ec = out.close();
    if (!ec) {
        at = kJobMarker;
        if (::renameat(dirfd, kMarkerTemp.c_str(), dirfd, kJobMarker) != 0)
            ec = last_error();
    }
    if (ec) {
        ::unlinkat(dirfd, kMarkerTemp.c_str(), 0);
        return ec;
    }
    if (::fsync(dirfd) != 0)
        return last_error();
    return {};
}

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

JobMarker read_job_marker(int dirfd) {
    JobMarker marker;
    struct stat named {};
    if (::fstatat(dirfd, kJobMarker, &named, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT)
            marker.problem = "can't be examined: " + last_error().message();
        return marker;
    }
    // Nothing but a regular file is opened: opening a device can act on it.
    if ((marker.problem = untrusted_marker(named)))
        return marker;
    std::error_code ec;
    sys::Fd fd = sys::open_below(dirfd, kJobMarker, O_RDONLY | O_NONBLOCK | O_NOCTTY, ec);
    struct stat st {};
    if (!fd) {
        marker.problem = ec == std::errc::too_many_symbolic_link_levels ? std::string("is a symbolic link")
                                                                        : "can't be opened: " + ec.message();
        return marker;
    }
    if (::fstat(fd.get(), &st) != 0) {
        marker.problem = "can't be examined: " + last_error().message();
        return marker;
    }
    if ((marker.problem = untrusted_marker(st)))
        return marker;
    std::array<char, ARK_JOB_NAME_LEN + 2> buffer{};
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    std::string name(buffer.data(), got > 0 ? static_cast<size_t>(got) : 0);
    if (const size_t end = name.find('\n'); end != std::string::npos)
        name.resize(end);
    marker.job = std::move(name);
    return marker;
}

bool claim_export_dir(const ARKZarafa &state) {
    if (export_dir_problem(state))
        return true; // refused where the directory would be used
    const std::string dir = export_dir_path(state);
    const int dirfd = export_dir_fd();
    if (dirfd < 0)
        return true; // refused where the directory would be used
    JobMarker marker = read_job_marker(dirfd);
    if (marker.problem) {
        msg("Error: the job marker %s %s; the backup does not use the export directory %s",
            marker_path(dir).c_str(), marker.problem->c_str(), dir.c_str());
        return false;
    }
    if (state.iBackupLevelCOPY) {
        std::optional<std::string> job = marker.job;
        if (!job && holds_diff_baselines(dir))
            job = export_dir_name(state);
        if (!job)
            return true;
        msg("Error: the COPY of save set %s would export into %s, the export directory of job %s; a COPY never "
            "touches a job's files: nothing was removed, give the save set another name",
            state.cpSavesetName, dir.c_str(), job->c_str());
        return false;
    }
    return mark_job_dir(state);
}

bool mark_job_dir(const ARKZarafa &state) {
    const std::string dir = export_dir_path(state);
    const std::string job(view_of(state.cpJobName));
    const int dirfd = export_dir_fd();
    if (dirfd < 0 || export_dir_problem(state)) {
        msg("Error: can't mark %s as the export directory of job %s: it is not open", dir.c_str(), job.c_str());
        return false;
    }
    const JobMarker marker = read_job_marker(dirfd);
    if (marker.problem) {
        msg("Error: the job marker %s %s; the backup does not use the export directory %s",
            marker_path(dir).c_str(), marker.problem->c_str(), dir.c_str());
        return false;
    }
    if (marker.job == job)
        return true;
    std::string at;
    if (const std::error_code ec = write_marker(dirfd, job, at)) {
        msg("Error: can't mark %s as the export directory of job %s: %s/%s: %s", dir.c_str(), job.c_str(),
            dir.c_str(), at.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

} // namespace ark
