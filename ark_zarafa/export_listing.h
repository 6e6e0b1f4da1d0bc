// The names in an export directory, kept current without reading the whole
// directory for every mailbox. Under FULL and INCR the export directory keeps
// every mailbox's index file, so a read per mailbox would cost the square of
// the mailbox count. The directory is read once; after that the kernel's
// change notifications for it (inotify) say which names came and went. When
// notifications are unavailable or lost (queue overflow, the directory
// removed or moved), the next lookup reads the directory again.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace ark {

class ExportListing {
public:
    ExportListing() = default;
    ~ExportListing();
    ExportListing(const ExportListing &) = delete;
    ExportListing &operator=(const ExportListing &) = delete;

    // The names in dir that do not begin with "." and that begin with
    // prefix, in the order alphasort gives.
    std::vector<std::string> names_starting_with(const std::string &dir, std::string_view prefix);
    // The same for names that hold text anywhere.
    std::vector<std::string> names_containing(const std::string &dir, std::string_view text);

    // Forgets the directory and closes the notification descriptor.
    void reset();

private:
    void bring_up_to_date(const std::string &dir);
    void read_directory();
    // Applies the queued notifications; false when they can't be trusted.
    bool apply_notifications();

    std::string dir_;
    std::set<std::string> names_;
    int notify_fd_ = -1;
    bool current_ = false;
};

// The listing the backup item loop uses; reset with the operation state.
ExportListing &export_listing();

} // namespace ark
