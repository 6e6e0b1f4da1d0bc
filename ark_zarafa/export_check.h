// Whether an export of one mailbox is usable: its index file was written by
// this export, is complete as far as its text can tell, and its data file is
// there. Under FULL and INCR the index file of the job's previous export is
// the base of the next increment, so a failed export must not leave a
// damaged or unmatched index in its place.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

namespace ark {

// What an index file's text lacks to be the index of a complete export, or
// nothing. An index cut off exactly at a line end after its root line is not
// detectable: the format carries no count of its lines and no end mark.
std::optional<std::string> index_text_problem(std::string_view text);

// The index file in place before an export, kept so that it can be put back.
class PreviousIndex {
public:
    // Reads the file now, before the export tool runs.
    explicit PreviousIndex(std::string path);

    const std::string &path() const { return path_; }
    bool existed() const { return existed_; }
    // True when the file is still the one read before the export.
    bool unchanged() const;
    // Undo what a failed export did to the index file: the previous index
    // comes back, or a new one is removed when there was none. The outcome
    // is reported as a message.
    void put_back() const;

private:
    std::string path_;
    bool existed_ = false;
    struct stat status_ {};
    std::string text_;
};

// Why the export of mailbox in dir is not usable, or nothing. previous is the
// index file as it was before the export ran.
std::optional<std::string> export_problem(std::string_view mailbox, const std::string &dir,
                                          const PreviousIndex &previous);

} // namespace ark
