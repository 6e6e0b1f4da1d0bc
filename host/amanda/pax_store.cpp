#include "pax_store.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "amanda_lines.h"
#include "item_name.h"
#include "mailbox_outcomes.h"
#include "message_log.h"
#include "printable.h"
#include "system/fd.h"

namespace amanda_app {
namespace {

std::string archive_problem(struct archive *a) {
    const char *why = archive_error_string(a);
    return why ? why : "unknown libarchive error";
}

struct EntryFree {
    void operator()(struct archive_entry *e) const { archive_entry_free(e); }
};

} // namespace

PaxStore::PaxStore(int fd) : archive_(archive_write_new()) {
    if (!archive_ || archive_write_set_format_pax(archive_) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(archive_, 0) != ARCHIVE_OK ||
        archive_write_open_fd(archive_, fd) != ARCHIVE_OK) {
        host::MessageLog::get().error("cannot start the backup stream: " +
                                      (archive_ ? archive_problem(archive_) : std::string("out of memory")));
        broken_ = true;
    }
}

PaxStore::~PaxStore() {
    if (archive_)
        archive_write_free(archive_);
}

bool PaxStore::write_member(const std::string &name) {
    auto &log = host::MessageLog::get();
    const std::string path = "/" + name;
    ark::sys::Fd in(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        log.error("item " + host::printable(name) + " was not stored: " +
                  (in ? "it is not a regular file" : std::string("cannot open it: ") + std::strerror(errno)));
        return false;
    }
    std::unique_ptr<struct archive_entry, EntryFree> entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0600);
    archive_entry_set_size(entry.get(), st.st_size);
    archive_entry_set_mtime(entry.get(), st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    if (archive_write_header(archive_, entry.get()) != ARCHIVE_OK) {
        log.error("the backup stream broke at item " + host::printable(name) + ": " + archive_problem(archive_));
        broken_ = true;
        return false;
    }
    std::vector<char> buffer(1 << 16);
    int64_t left = st.st_size;
    while (left > 0) {
        ssize_t n = ::read(in.get(), buffer.data(), static_cast<size_t>(std::min<int64_t>(left, buffer.size())));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The member's header promised more: the archive cannot be
            // finished honestly.
            log.error("item " + host::printable(name) + " shrank while it was written to the backup stream");
            broken_ = true;
            return false;
        }
        if (archive_write_data(archive_, buffer.data(), static_cast<size_t>(n)) != n) {
            log.error("the backup stream broke at item " + host::printable(name) + ": " + archive_problem(archive_));
            broken_ = true;
            return false;
        }
        left -= n;
    }
    if (archive_write_finish_entry(archive_) != ARCHIVE_OK) {
        log.error("the backup stream broke at item " + host::printable(name) + ": " + archive_problem(archive_));
        broken_ = true;
        return false;
    }
    bytes_ += static_cast<uint64_t>(st.st_size);
    return true;
}

DB_ITEM_RESULT PaxStore::store(const std::string &name, host::RunSummary &summary) {
    auto &log = host::MessageLog::get();
    ++summary.items;
    auto failed = [&] {
        ++summary.failed_items;
        host::MailboxOutcomes::get().item_failed(name, log.last_error());
        return DB_ITEM_FAIL;
    };
    if (broken_) {
        log.error("item " + host::printable(name) + " was not stored: the backup stream is broken");
        return failed();
    }
    if (auto problem = host::item_name_problem(name)) {
        log.error("refusing item \"" + host::printable(name) + "\": " + *problem);
        return failed();
    }
    if (!write_member(name))
        return failed();
    summary.bytes = bytes_;
    if (auto mailbox = host::mailbox_of_item(name))
        mailboxes_.insert(*mailbox);
    return DB_ITEM_SUCCESS;
}

bool PaxStore::finish() {
    if (finished_)
        return !broken_;
    finished_ = true;
    if (!broken_ && archive_write_close(archive_) != ARCHIVE_OK) {
        host::MessageLog::get().error("cannot end the backup stream: " + archive_problem(archive_));
        broken_ = true;
    }
    stream_started();
    return !broken_;
}

} // namespace amanda_app
