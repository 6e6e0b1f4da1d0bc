// The backup stream: a POSIX pax archive, one member per item under the
// item's name, written with libarchive straight to a descriptor. Nothing is
// held back in a block buffer, so a member is in the stream whole when its
// item is acknowledged.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "backup_loop.h"

struct archive;

namespace amanda_app {

class PaxStore : public host::ItemStore {
public:
    explicit PaxStore(int fd);
    ~PaxStore() override;
    PaxStore(const PaxStore &) = delete;
    PaxStore &operator=(const PaxStore &) = delete;

    DB_ITEM_RESULT store(const std::string &name, host::RunSummary &summary) override;

    // Writes the end of the archive; false (after an "Error:") when the
    // stream broke at any point.
    bool finish();

    // Before DB_CloseOperation: the stream is ended, so that Amanda holds
    // every member acknowledged. When it broke (Amanda's side went away),
    // none of them is known to be kept, and the plug-in is told so.
    bool make_durable() override { return finish(); }

    bool broken() const { return broken_; }
    uint64_t bytes() const { return bytes_; }
    // The mailboxes of which at least one member was written whole.
    const std::set<std::string> &mailboxes() const { return mailboxes_; }

private:
    bool write_member(const std::string &name);
    struct archive *archive_;
    bool broken_ = false;
    bool finished_ = false;
    uint64_t bytes_ = 0;
    std::set<std::string> mailboxes_;
};

} // namespace amanda_app
