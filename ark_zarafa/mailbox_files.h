// The files that belong to a mailbox: "NAME.index.zbk" and "NAME.data.zbk",
// where NAME is the mailbox name, or "Public" for the public store. Files are
// matched by their own name, never by a substring of their whole path, so
// that "xbob.index.zbk" is not bob's and a directory named "a.data.b" does not
// make an index file look like a data file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ark {

inline constexpr std::string_view kPublicFolder = "PUBLIC_FOLDER";

// "Public" for the public store, else the mailbox name.
std::string mailbox_file_stem(std::string_view mailbox);

// "STEM.index.zbk" and "STEM.data.zbk".
std::string index_file_name(std::string_view mailbox);
std::string data_file_name(std::string_view mailbox);

// The last component of a path (the whole path when it holds no "/").
std::string_view file_name_of(std::string_view path);

// The path up to and including its last "/" (empty when it holds none).
std::string_view directory_of(std::string_view path);

// True when the path's file name begins with "STEM." of the mailbox.
bool belongs_to_mailbox(std::string_view path, std::string_view mailbox);

// The mailboxes of the current backup, by the stems of their files. A
// mailbox's export takes the names that begin with "NAME." (or hold
// "Public" for the public store), but never another mailbox's own index or
// data file: "john" must not hand out "john.doe.index.zbk" when john.doe is
// backed up in the same run, which would store it twice and pair it with
// the wrong export.
void remember_operation_mailboxes(const std::vector<std::string> &mailboxes);
bool is_other_mailboxs_own_file(std::string_view mailbox, std::string_view file_name);

} // namespace ark
