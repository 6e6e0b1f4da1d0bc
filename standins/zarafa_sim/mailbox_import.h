// Restore of records from an export (index and data file) into a mailbox.
// Items come back into their original folder, which is recreated with its
// parents when missing; an item that is already there is left alone, so a
// restore never duplicates anything.
#pragma once

#include "data_file.h"
#include "faults.h"
#include "index_file.h"
#include "mailbox.h"

#include <string>
#include <unordered_map>
#include <vector>

namespace zsim {

struct ImportReport {
    std::size_t folders_restored = 0;
    std::size_t messages_restored = 0;
    std::size_t already_present = 0;
    // Messages met in a folder restore whose text lies in the data file of
    // another export run; restoring that run's files brings them back.
    std::size_t other_generation = 0;
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
};

class Importer {
public:
    Importer(const IndexFile &index, const DataFile &data, Mailbox &mailbox, const Faults &faults);

    // A folder key restores the folder and its messages, with `recursive`
    // its subfolders too; a message key restores the message. The root key
    // stands for the whole mailbox. Failures are collected in the report.
    void restore(const std::string &key, bool recursive);
    const ImportReport &report() const { return report_; }

private:
    bool ensure_folder(const std::string &key);
    void restore_folder_messages(const std::string &folder);
    // `single`: a message asked for by its own key, which must be restored
    // from this data file or fail.
    void restore_message(const IndexMessage &record, bool single);
    std::string mailbox_parent(const std::string &index_parent) const;

    const IndexFile &index_;
    const DataFile &data_;
    Mailbox &mailbox_;
    const Faults &faults_;
    ImportReport report_;
    std::unordered_map<std::string, const IndexFolder *> folders_;
    std::unordered_map<std::string, const IndexMessage *> messages_;
    std::unordered_map<std::string, std::vector<const IndexFolder *>> children_;
    std::unordered_map<std::string, std::vector<const IndexMessage *>> held_;
};

} // namespace zsim
