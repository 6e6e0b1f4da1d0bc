// restore: the pax stream on standard input is written, member by member,
// into a private directory below the work directory and handed to the
// plug-in's restore loop, which imports each mailbox into the server. The
// names amrecover and amfetchdump pass (or an include list) select the
// mailboxes; LIST-FILE selects records, RECOVERY NO leaves the files and
// scripts for the operator.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>
#include <system_error>

#include "amanda_lines.h"
#include "commands.h"
#include "mailbox_outcomes.h"
#include "message_log.h"
#include "printable.h"
#include "restore_items.h"
#include "system/fd.h"

namespace amanda_app {
namespace {

struct ArchiveFree {
    void operator()(struct archive *a) const { archive_read_free(a); }
};

std::string archive_problem(struct archive *a) {
    const char *why = archive_error_string(a);
    return why ? why : "unknown libarchive error";
}

// A selected name as amrecover and amfetchdump give it ("/alice", "./alice",
// "alice/"), as a mailbox name; nothing for "everything" ("." or "/").
std::optional<std::string> selected_mailbox(std::string name) {
    while (name.starts_with("./"))
        name.erase(0, 2);
    while (name.starts_with("/"))
        name.erase(0, 1);
    while (name.ends_with("/"))
        name.pop_back();
    if (name.empty() || name == ".")
        return std::nullopt;
    return name;
}

// The mailboxes to restore; empty for all of them.
std::set<std::string> selection(const AppOptions &o) {
    std::vector<std::string> names = o.names;
    if (o.include_list) {
        std::ifstream in(*o.include_list);
        if (!in)
            throw UsageError("cannot read the include list " + o.include_list->string());
        for (std::string line; std::getline(in, line);)
            if (!line.empty())
                names.push_back(line);
    }
    std::set<std::string> chosen;
    for (const std::string &name : names) {
        auto mailbox = selected_mailbox(name);
        if (!mailbox)
            return {};
        chosen.insert(*mailbox);
    }
    return chosen;
}

class ShownItems : public host::ItemEvents {
public:
    void written(uint64_t, std::string_view name, uint64_t size) override {
        host::MessageLog::get().note("restored item " + host::printable(name) + " (" + std::to_string(size) +
                                     " bytes)");
    }
    void failed(uint64_t, std::string_view name) override {
        host::MailboxOutcomes::get().item_failed(name, host::MessageLog::get().last_error());
    }
};

// Writes the current member's data to target, through a hidden name beside
// it that is renamed into place once the member was read whole.
bool write_member(struct archive *a, const fs::path &target) {
    const fs::path partial = target.parent_path() / ".amarkzarafa-part";
    ark::sys::Fd out(::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out)
        throw std::system_error(errno, std::generic_category(), "cannot create " + partial.string());
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        int r = archive_read_data_block(a, &block, &size, &offset);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK) {
            ::unlink(partial.c_str());
            host::MessageLog::get().error("the dump is damaged at " + host::printable(target.filename().string()) +
                                          ": " + archive_problem(a));
            return false;
        }
        const char *p = static_cast<const char *>(block);
        if (::pwrite(out.get(), p, size, offset) != static_cast<ssize_t>(size)) {
            int error = errno;
            ::unlink(partial.c_str());
            throw std::system_error(error, std::generic_category(), "cannot write " + partial.string());
        }
    }
    if (::fsync(out.get()) != 0 || ::rename(partial.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(partial.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + target.string());
    }
    return true;
}

void echo_to_stderr(host::Shown kind, std::string_view line) {
    if (kind != host::Shown::detail)
        write_line(amanda_err(), line);
}

} // namespace

int run_restore(const AppOptions &o) {
    host::MessageLog::set_echo(echo_to_stderr);
    auto &log = host::MessageLog::get();
    AppSettings s;
    std::set<std::string> chosen;
    try {
        s = settings_of(o);
        if (auto problem = become_work_dir_owner(s.work_dir)) {
            log.error("work directory (property TMP-DIR): " + *problem);
            return 1;
        }
        prepare_session(s);
        chosen = selection(o);
    } catch (const std::exception &e) {
        log.error(e.what());
        return 1;
    }
    if (auto problem = work_dir_problem(s.work_dir)) {
        log.error("work directory (property TMP-DIR): " + *problem);
        return 1;
    }
    std::unique_ptr<host::Plugin> plugin = load_plugin(s);
    if (!plugin)
        return 1;

    // The private directory that receives the files: below the work
    // directory, 0700, a new one for each restore.
    std::string pattern = (s.work_dir / "restore.XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        log.error("cannot create a restore directory in " + s.work_dir.string() + ": " + std::strerror(errno));
        return 1;
    }
    const fs::path into(pattern);

    host::OperationSettings op;
    op.saveset = s.job.empty() ? std::string("amanda") : s.job;
    op.work_dir = s.work_dir;
    op.databases.assign(chosen.begin(), chosen.end());
    op.databases.insert(op.databases.end(), s.list_files.begin(), s.list_files.end());
    op.no_recovery = s.no_recovery;
    op.workers = s.workers;
    host::ControlVars vars = host::restore_control_vars(op);
    const int level = o.levels.empty() ? 0 : o.levels.front();

    std::unique_ptr<struct archive, ArchiveFree> a(archive_read_new());
    archive_read_support_format_tar(a.get());
    bool stream_ok = archive_read_open_fd(a.get(), 0, 1 << 16) == ARCHIVE_OK;
    if (!stream_ok)
        log.error("cannot read the dump: " + archive_problem(a.get()));

    host::RunSummary summary;
    ShownItems events;
    uint64_t items_seen = 0;
    const host::OperationCalls calls =
        host::run_restore_operation(plugin->db(), host::level_of(level_word(level)), vars, summary, [&] {
            host::ItemRestorer restorer(plugin->db(), into, summary, events, items_seen);
            while (stream_ok) {
                struct archive_entry *entry = nullptr;
                int r = archive_read_next_header(a.get(), &entry);
                if (r == ARCHIVE_EOF)
                    break;
                if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
                    log.error("the dump is damaged or cut short: " + archive_problem(a.get()));
                    stream_ok = false;
                    break;
                }
                const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
                if (archive_entry_filetype(entry) != AE_IFREG) {
                    log.warning("member " + host::printable(name) + " of the dump is not a file; skipped");
                    continue;
                }
                const auto mailbox = host::mailbox_of_item(name);
                if (!chosen.empty() && (!mailbox || !chosen.count(*mailbox)))
                    continue; // another mailbox's file; the next header skips its data
                const auto size = static_cast<uint64_t>(archive_entry_size(entry));
                restorer.restore(name, size, [&](const fs::path &target) { return write_member(a.get(), target); });
            }
        });

    std::error_code ec;
    if (s.no_recovery)
        log.notice("the restored files and scripts are in " + into.string());
    else
        fs::remove_all(into, ec);
    // Drains what is left, so that the sender does not see its pipe break.
    char sink[1 << 16];
    while (::read(0, sink, sizeof sink) > 0) {
    }
    for (const host::MailboxOutcome &outcome : host::MailboxOutcomes::get().outcomes())
        if (outcome.failed)
            write_line(amanda_err(),
                       "mailbox " + host::printable(outcome.mailbox) + " was not restored: " + outcome.reason);
    const bool ok = calls.init && calls.close && stream_ok && summary.failed_items == 0 && summary.failed_calls == 0;
    return ok ? 0 : 1;
}

} // namespace amanda_app
