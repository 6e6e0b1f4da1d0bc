// Opening and checking the private work tree, and the clearing of a FULL's
// or COPY's previous export.
#include "work_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "c_buffer.h"
#include "export_dir.h"
#include "messages.h"
#include "system/private_dir.h"

using ark::msg;

namespace ark {

namespace {

constexpr std::string_view kJobMarker = ".ark_zarafa.job";

struct Tree {
    sys::Fd zarafa;
    sys::Fd export_dir;
    std::string zarafa_path;
    std::string export_path;
};

Tree &tree() {
    static Tree instance;
    return instance;
}

std::vector<std::string> components_of(std::string_view name) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos)
            end = name.size();
        if (end > start)
            parts.emplace_back(name.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string joined(const std::string &dir, const std::string &name) {
    std::string path = dir;
    if (path.empty() || path.back() != '/')
        path += '/';
    path += name;
    return path;
}

bool refuse(const std::string &path, const std::string &why) {
    msg("Error: the work directory %s %s; the backup does not use it", path.c_str(), why.c_str());
    close_work_tree();
    return false;
}

} // namespace

bool open_work_tree(const ARKZarafa &state) {
    close_work_tree();
    Tree &t = tree();
    const std::string_view given = view_of(state.cpTempDir);
    const std::string work(given.empty() ? std::string_view("/") : given);
    sys::OpenedDir top;
    if (auto why = sys::open_trusted_dir(work, true, true, top)) {
        msg("Error: the work directory %s can't be used: %s", work.c_str(), why->c_str());
        return false;
    }
    size_t narrowed = 0;
    sys::OpenedDir dir;
    t.zarafa_path = joined(work, "zarafa");
    if (auto why = sys::open_private_dir(top.fd.get(), "zarafa", true, dir))
        return refuse(t.zarafa_path, *why);
    narrowed += dir.tightened ? 1 : 0;
    t.zarafa = std::move(dir.fd);
    narrowed += sys::tighten_entries(t.zarafa.get());

    t.export_path = t.zarafa_path;
    int parent = t.zarafa.get();
    sys::Fd current;
    if (!export_dir_problem(state)) {
        for (const std::string &part : components_of(export_dir_name(state))) {
            t.export_path = joined(t.export_path, part);
            if (auto why = sys::open_private_dir(parent, part, true, dir))
                return refuse(t.export_path, *why);
            narrowed += dir.tightened ? 1 : 0;
            current = std::move(dir.fd);
            parent = current.get();
        }
    }
    if (!export_dir_problem(state))
        t.export_path = export_dir_path(state);
    // The export directory's own files need no narrowing: nobody else can
    // enter the directory once it is 0700.
    if (current) {
        t.export_dir = std::move(current);
    } else {
        t.export_dir.reset(::fcntl(t.zarafa.get(), F_DUPFD_CLOEXEC, 0));
    }
    if (narrowed)
        msg("Warning: %zu files and directories of the work tree %s that others could read are now readable by "
            "their owner only",
            narrowed, t.zarafa_path.c_str());
    return true;
}

bool ensure_work_tree(const ARKZarafa &state, bool *reopened) {
    Tree &t = tree();
    if (reopened)
        *reopened = true;
    if (!t.export_dir || t.export_path != export_dir_path(state))
        return open_work_tree(state);
    // Every directory on the path was checked when it was opened: only root
    // or this account can change what the path leads to since. One lookup
    // tells whether it still leads to the directory held, without walking
    // and checking the whole path again for every mailbox.
    struct stat held {}, now {};
    if (::fstat(t.export_dir.get(), &held) == 0 && ::lstat(t.export_path.c_str(), &now) == 0 &&
        S_ISDIR(now.st_mode) && held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
        if (reopened)
            *reopened = false;
        return true;
    }
    msg("Warning: the export directory %s was replaced while the backup ran; it is checked again",
        t.export_path.c_str());
    return open_work_tree(state);
}

void close_work_tree() {
    Tree &t = tree();
    t.zarafa.reset();
    t.export_dir.reset();
    t.zarafa_path.clear();
    t.export_path.clear();
}

int zarafa_dir_fd() { return tree().zarafa.get(); }
int export_dir_fd() { return tree().export_dir.get(); }
const std::string &work_tree_export_path() { return tree().export_path; }

bool clear_previous_export(const ARKZarafa &state) {
    if (auto problem = export_dir_problem(state)) {
        msg("Warning: previous export directory not removed: %s", problem->c_str());
        return true;
    }
    Tree &t = tree();
    if (!t.export_dir) {
        msg("Error: the previous export directory %s was not cleared: it is not open", export_dir_path(state).c_str());
        return false;
    }
    const std::string dir = export_dir_path(state);
    msg("Removing previous export directory [%s]", dir.c_str());
    // The directory stays: it carries the job's lock and marker.
    const std::vector<std::string> failed =
        sys::empty_directory(t.export_dir.get(), [](std::string_view name) { return name == kJobMarker; });
    if (failed.empty())
        return true;
    constexpr size_t kShown = 10;
    for (size_t i = 0; i < failed.size() && i < kShown; ++i)
        msg("Error: can't remove %s/%s", dir.c_str(), failed[i].c_str());
    if (failed.size() > kShown)
        msg("Error: and %zu more entries of %s can't be removed", failed.size() - kShown, dir.c_str());
    msg("Error: the previous export directory %s could not be cleared; the backup would not be whole, so it is not "
        "run",
        dir.c_str());
    return false;
}

} // namespace ark
