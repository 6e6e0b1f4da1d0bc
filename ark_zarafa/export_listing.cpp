// The names of an export directory: one read, then change notifications.
#include "export_listing.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace ark {

namespace {

constexpr uint32_t kWatchedChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kWatchLost = IN_Q_OVERFLOW | IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;

bool listed(std::string_view name) { return !name.empty() && name[0] != '.'; }

// alphasort's order: by strcoll.
std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end(),
              [](const std::string &a, const std::string &b) { return std::strcoll(a.c_str(), b.c_str()) < 0; });
    return names;
}

} // namespace

ExportListing::~ExportListing() { reset(); }

void ExportListing::reset() {
    if (notify_fd_ >= 0)
        ::close(notify_fd_);
    notify_fd_ = -1;
    current_ = false;
    dir_.clear();
    names_.clear();
}

std::vector<std::string> ExportListing::names_starting_with(const std::string &dir, std::string_view prefix) {
    bring_up_to_date(dir);
    std::vector<std::string> found;
    for (auto it = names_.lower_bound(std::string(prefix)); it != names_.end() && it->starts_with(prefix); ++it)
        found.push_back(*it);
    return sorted(std::move(found));
}

std::vector<std::string> ExportListing::names_containing(const std::string &dir, std::string_view text) {
    bring_up_to_date(dir);
    std::vector<std::string> found;
    for (const std::string &name : names_)
        if (name.find(text) != std::string::npos)
            found.push_back(name);
    return sorted(std::move(found));
}

void ExportListing::bring_up_to_date(const std::string &dir) {
    if (current_ && dir == dir_ && apply_notifications())
        return;
    reset();
    dir_ = dir;
    // The watch comes first: a change made while the directory is read is
    // then both seen by the read and queued, and applying it again changes
    // nothing.
    notify_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_fd_ >= 0 && ::inotify_add_watch(notify_fd_, dir_.c_str(), kWatchedChanges) < 0) {
        ::close(notify_fd_);
        notify_fd_ = -1;
    }
    read_directory();
    // Without a watch every lookup reads the directory.
    current_ = notify_fd_ >= 0 && apply_notifications();
}

void ExportListing::read_directory() {
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::opendir(dir_.c_str()), ::closedir);
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir.get()))
        if (listed(entry->d_name))
            names_.insert(entry->d_name);
}

bool ExportListing::apply_notifications() {
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(notify_fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno == EAGAIN;
        if (got == 0)
            return false;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & kWatchLost)
                return false;
            const std::string_view name = event->len ? std::string_view(event->name) : std::string_view();
            if (!listed(name))
                continue;
            if (event->mask & (IN_CREATE | IN_MOVED_TO))
                names_.emplace(name);
            else if (event->mask & (IN_DELETE | IN_MOVED_FROM))
                names_.erase(std::string(name));
        }
    }
}

ExportListing &export_listing() {
    static ExportListing listing;
    return listing;
}

} // namespace ark
