#include "mailbox_export.h"

#include <cstdio>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "ark_zarafa.h"
#include "export_check.h"
#include "export_dir.h"
#include "fifo_strings.h"
#include "job_marker.h"
#include "mailbox_files.h"
#include "messages.h"
#include "work_tree.h"
#include "zarafa_index_utils.h"

namespace ark {

namespace fs = std::filesystem;

std::vector<std::string> export_command(const std::string &mailbox) {
    if (mailbox == "ALL")
        return {"zarafa-backup", "-a"};
    if (mailbox == kPublicFolder)
        return {"zarafa-backup", "-p"};
    return {"zarafa-backup", "-u", mailbox};
}

namespace {

ExportLevel export_level(const ARKZarafa &state) {
    if (state.iBackupLevelFULL)
        return ExportLevel::full;
    if (state.iBackupLevelINCR)
        return state.iBackupLevelDIFF ? ExportLevel::differential : ExportLevel::incremental;
    return ExportLevel::copy;
}

// The mailboxes still to export, as many as one journal sync covers.
std::vector<std::string> pending_mailboxes(const ARKZarafa &state) {
    std::vector<std::string> names;
    for (const LIST_ITEM *item = state.psUsers ? state.psUsers->spFirstItem : nullptr;
         item && names.size() < kJournalBatch; item = item->spNextItem)
        names.emplace_back(item_text(item));
    return names;
}

} // namespace

MailboxExport prepare_export(const std::string &mailbox) {
    const ARKZarafa &state = g_sARKZarafa;
    MailboxExport e;
    e.mailbox = mailbox;
    e.dir = export_dir_path(state);
    if (state.iBackupLevelFULL || state.iBackupLevelINCR)
        msg("Export dir [%s]", state.cpTempDir);
    // The directory, with the index file name inside it, must fit the 256
    // characters of the paths handed to the host.
    if (e.dir.size() + 1 + index_file_name(mailbox).size() >= ARK_PATH_LEN) {
        msg("Error: export directory %s is too long for the mailbox %s", e.dir.c_str(), mailbox.c_str());
        return e;
    }
    e.source = e.dir;
    // Made and checked at set-up; a call outside an operation makes it now.
    bool reopened = false;
    if (!ensure_work_tree(state, &reopened))
        return e;
    e.dir_fd = export_dir_fd();
    // A job whose work directory was made since the set-up is marked now.
    if (reopened && (state.iBackupLevelFULL || state.iBackupLevelINCR) && !mark_job_dir(state))
        return e;
    // Kept durably before the tool runs: the index in place is the
    // baseline of the job's next increment until the host has stored every
    // file of this export. The next pending mailboxes are kept in the same
    // sync.
    e.journal = baseline_journal().begin(mailbox, e.dir, export_level(state), pending_mailboxes(state));
    if (!e.journal)
        return e;
    msg("Execute [mkdir -p \"%s\"]", e.dir.c_str());
    e.ready = true;
    return e;
}

int complete_export(const MailboxExport &e) {
    const ARKZarafa &state = g_sARKZarafa;
    BaselineJournal &journal = baseline_journal();
    journal.tool_ended(*e.journal);
    // Stopped part-way, its files may look whole and still miss mail.
    if (e.time_limit) {
        msg("Error: mailbox %s was not exported: its export was stopped at the time limit of its run (-t %d)",
            e.mailbox.c_str(), e.time_limit);
        journal.abandon(*e.journal);
        return -1;
    }
    // Success is judged by the files the tool left. A mailbox whose files are
    // missing, stale or cut off is not handed out, and its list file is not
    // rebuilt from them.
    if (e.mailbox != "ALL") {
        if (auto problem = export_problem(e.mailbox, e.dir, journal.index_unchanged(*e.journal))) {
            msg("Error: mailbox %s was not exported: %s", e.mailbox.c_str(), problem->c_str());
            journal.abandon(*e.journal);
            return -1;
        }
    }
    if (!state.iBackupLevelFULL && !state.iBackupLevelINCR)
        journal.commit_now(*e.journal);
    const std::string index = e.dir + "/" + index_file_name(e.mailbox);
    print_index_file(stderr, index.c_str());

    const size_t slash = e.dir.rfind('/');
    const std::string list_dir = slash == std::string::npos ? e.dir : e.dir.substr(0, slash);
    const std::string list_file = list_dir + "/" + e.mailbox + ".lst";
    msg("Building list-file=%s", list_file.c_str());
    if (!build_list_file(index.c_str(), list_file.c_str()))
        msg("Warning: Can't create list file=%s", list_file.c_str());
    return 0;
}

} // namespace ark
