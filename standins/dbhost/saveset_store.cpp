#include "saveset_store.h"

#include "item_name.h"
#include "message_log.h"
#include "report.h"
#include "system/atomic_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <system_error>

namespace dbhost {
namespace {

constexpr const char *manifest_name = "manifest";
constexpr const char *incoming_name = ".incoming";
constexpr const char *staging_prefix = ".replace-";
// Room for the staging prefix within a 255-byte directory entry.
constexpr size_t max_directory_name = 200;

int64_t now() { return static_cast<int64_t>(std::time(nullptr)); }

// Creates the directories of path below base one by one; the batch that
// holds the first item below them makes them durable.
void make_parents(const fs::path &base, const fs::path &relative_dir) {
    fs::path current = base;
    for (const auto &part : relative_dir) {
        current /= part;
        if (!make_directory(current) && !fs::is_directory(fs::symlink_status(current)))
            throw StoreError(current.string() + " exists and is not a directory");
    }
}

// The store holds every saved mailbox: it is made 0700, and a store of the
// effective user that others could read is narrowed to 0700.
void make_private_store(const fs::path &store) {
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(store, ec))) {
        fs::create_directories(store.parent_path(), ec);
        if (::mkdir(store.c_str(), 0700) != 0 && errno != EEXIST)
            throw StoreError("cannot create the store " + store.string() + ": " + std::strerror(errno));
    }
    Fd dir(::open(store.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (dir.get() < 0 || ::fstat(dir.get(), &st) != 0)
        throw StoreError("cannot open the store " + store.string() + ": " + std::strerror(errno));
    if (st.st_uid == ::geteuid() && (st.st_mode & 077))
        ::fchmod(dir.get(), st.st_mode & 07700);
}

std::string read_text(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::system_error(errno, std::generic_category(), "cannot read " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

SaveSet read_saveset_dir(const fs::path &dir) {
    SaveSet set;
    set.dir = dir;
    set.manifest = parse_manifest(read_text(dir / manifest_name));
    return set;
}

} // namespace

std::string saveset_directory_name(const std::string &saveset) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < saveset.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(saveset[i]);
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                     c == '-' || (c == '.' && i > 0);
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xf];
        }
    }
    if (out.size() > max_directory_name)
        throw StoreError("the save-set name \"" + saveset + "\" is too long for the store");
    return out;
}

namespace {

// One more than the highest sequence number in the store: the order of the
// backups, which their creation times (seconds) cannot always tell.
uint64_t next_sequence(const fs::path &store) {
    uint64_t highest = 0;
    std::error_code ec;
    for (fs::directory_iterator it(store, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory(ec))
            continue;
        try {
            highest = std::max(highest, read_saveset_dir(it->path()).manifest.sequence);
        } catch (const std::exception &) {
            // A directory that is no save set orders nothing.
        }
    }
    return highest + 1;
}

} // namespace

SaveSetWriter::SaveSetWriter(const fs::path &store, const std::string &saveset, const std::string &level,
                             const std::string &job, bool replace, BatchLimits limits, StoreFaults faults)
    : store_(store), level_(level), replace_(replace), limits_(limits), faults_(faults) {
    std::string name = saveset_directory_name(saveset);
    final_ = store / name;
    std::error_code ec;
    make_private_store(store);
    if (replace) {
        dir_ = store / (staging_prefix + name);
        // An earlier replacement that was interrupted holds items that the
        // plug-in took as stored: they become a save set of their own.
        if (fs::exists(fs::symlink_status(dir_))) {
            const std::string kept = keep_staged_saveset(store, dir_);
            MessageLog::get().warning("an earlier --replace backup of save set \"" + printable(saveset) +
                                      "\" was not finished; its items are kept as save set \"" + printable(kept) +
                                      "\"");
        }
        if (!make_directory(dir_))
            throw StoreError("cannot create " + dir_.string());
    } else {
        dir_ = final_;
        if (!make_directory(dir_))
            throw StoreError("save set \"" + saveset + "\" already exists in " + store.string() +
                             "; save sets are never overwritten (use --replace to replace it)");
    }
    make_directory(dir_ / "data");
    fs::path manifest = dir_ / manifest_name;
    manifest_ = Fd(::open(manifest.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600));
    if (manifest_.get() < 0)
        throw std::system_error(errno, std::generic_category(), "cannot create " + manifest.string());
    // The save set's directories and header become durable with its first
    // batch: until then it holds nothing that was acknowledged.
    append_text(manifest_.get(), manifest, manifest_header(saveset, level, job, now(), next_sequence(store)));
}

Checked SaveSetWriter::store_item(const std::string &name, const fs::path &source) {
    if (!sync_failure_.empty())
        throw StoreError("the store cannot make items durable: " + sync_failure_);
    if (held_.contains(name))
        throw StoreError("item " + name + " is already stored in this save set");
    Fd in = open_regular_file(source);
    fs::path incoming = dir_ / incoming_name;
    fs::path relative(name);
    fs::path data = dir_ / "data";
    fs::path target = data / relative;
    Checked checked;
    try {
        checked = copy_checked(in.get(), source, incoming, false);
        make_parents(data, relative.parent_path());
        if (::rename(incoming.c_str(), target.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot move the copy to " + target.string());
    } catch (...) {
        ::unlink(incoming.c_str());
        throw;
    }

    ManifestItem item{name, checked.size, checked.sha256, level_, now()};
    append_text(manifest_.get(), dir_ / manifest_name, manifest_item_line(item));
    held_.insert(name);
    ++stored_;
    ++unsynced_items_;
    unsynced_bytes_ += checked.size;
    dirty_ = true;
    if (unsynced_items_ >= limits_.items || unsynced_bytes_ >= limits_.bytes)
        commit_batch();
    return checked;
}

// One flush of the file system makes the batch's files, their directory
// entries and the manifest's item lines durable; only then does the synced
// line claim them, so a crash at any point leaves a manifest whose synced
// lines never claim a file that is not whole.
void SaveSetWriter::commit_batch() {
    const fs::path manifest = dir_ / manifest_name;
    try {
        ++batches_;
        if (faults_.fail_sync && *faults_.fail_sync == batches_)
            throw std::system_error(EIO, std::generic_category(),
                                    "cannot flush the file system of " + dir_.string() + " (test hook)");
        sync_file_system(manifest_.get(), dir_);
        if (faults_.kill_before_commit && *faults_.kill_before_commit == batches_)
            ::raise(SIGKILL);
        append_text(manifest_.get(), manifest, manifest_synced_line(stored_));
        sync_data(manifest_.get(), manifest);
    } catch (const std::exception &e) {
        sync_failure_ = e.what();
        throw;
    }
    unsynced_items_ = unsynced_bytes_ = 0;
    dirty_ = false;
}

void SaveSetWriter::make_durable() {
    if (!sync_failure_.empty())
        throw StoreError("the store could not make items durable: " + sync_failure_);
    if (dirty_)
        commit_batch();
}

bool SaveSetWriter::finish(bool complete) {
    const fs::path manifest = dir_ / manifest_name;
    // Items stored since the last batch (when make_durable was not called)
    // are confirmed before the end line.
    if (sync_failure_.empty() && dirty_)
        commit_batch();
    append_text(manifest_.get(), manifest, manifest_end_line(now(), complete));
    // After a failed flush the end line claims nothing durable: it only
    // tells a reader that the backup ended.
    if (sync_failure_.empty())
        sync_data(manifest_.get(), manifest);
    manifest_ = Fd();
    if (!replace_)
        return false;
    if (!complete) {
        kept_as_ = keep_staged_saveset(store_, dir_);
        dir_ = store_ / saveset_directory_name(kept_as_);
        return false;
    }
    if (::renameat2(AT_FDCWD, dir_.c_str(), AT_FDCWD, final_.c_str(), RENAME_EXCHANGE) == 0) {
        fs::remove_all(dir_); // now the old save set
    } else if (errno == ENOENT) {
        if (::rename(dir_.c_str(), final_.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot rename " + dir_.string());
    } else if (errno == EINVAL) {
        // A file system without atomic exchange: move the old one aside first.
        fs::path old = store_ / (std::string(".old-") + final_.filename().string());
        fs::remove_all(old);
        fs::rename(final_, old);
        fs::rename(dir_, final_);
        fs::remove_all(old);
    } else {
        throw std::system_error(errno, std::generic_category(), "cannot put " + dir_.string() + " in place");
    }
    dir_ = final_;
    sync_directory(store_);
    return true;
}

std::string keep_staged_saveset(const fs::path &store, const fs::path &staging) {
    const fs::path manifest = staging / manifest_name;
    const std::string text = read_text(manifest);
    const Manifest m = parse_manifest(text);
    if (m.saveset.empty())
        throw StoreError("the manifest " + manifest.string() + " names no save set");
    const std::string suffix = ".failed-" + std::to_string(m.sequence);
    std::string kept = m.saveset.ends_with(suffix) ? m.saveset : m.saveset + suffix;
    for (int n = 2; fs::exists(fs::symlink_status(store / saveset_directory_name(kept))); ++n)
        kept = m.saveset + suffix + "-" + std::to_string(n);
    if (kept != m.saveset) {
        // The manifest names its save set: it is rewritten whole, line for
        // line but the name, and put in place atomically.
        // A last line cut short by a crash is left out, as a reader would.
        std::string renamed;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = text.substr(start, end - start);
            if (line.starts_with("name\t"))
                line = "name\t" + encode_field(kept);
            renamed += line + "\n";
        }
        if (std::error_code ec = ark::sys::replace_file(manifest, renamed, 0600))
            throw std::system_error(ec, "cannot rename the save set in " + manifest.string());
    }
    const fs::path target = store / saveset_directory_name(kept);
    if (std::error_code ec = ark::sys::rename_durably(staging, target))
        throw std::system_error(ec, "cannot keep " + staging.string() + " as " + target.string());
    return kept;
}

std::vector<std::string> settle_unconfirmed(SaveSet &set) {
    std::vector<std::string> left_out;
    std::vector<ManifestItem> &items = set.manifest.items;
    size_t kept = set.manifest.confirmed;
    for (size_t i = set.manifest.confirmed; i < items.size(); ++i) {
        // A name that no item may have is not looked up at all; it is kept,
        // so that the restore refuses it loudly as it refuses any such name.
        bool keep = item_name_problem(items[i].name).has_value();
        if (!keep) {
            try {
                const Checked stored = checksum_file(set.item_file(items[i].name));
                keep = stored.size == items[i].size && stored.sha256 == items[i].sha256;
            } catch (const std::exception &) {
                // Missing or unreadable: not whole.
            }
            if (keep)
                ++set.checked_whole;
        }
        if (!keep)
            left_out.push_back(items[i].name);
        else if (kept++ != i)
            items[kept - 1] = std::move(items[i]);
    }
    items.resize(kept);
    set.manifest.confirmed = kept;
    return left_out;
}

SaveSet open_saveset(const fs::path &store, const std::string &saveset) {
    fs::path dir = store / saveset_directory_name(saveset);
    if (!fs::is_directory(dir))
        throw StoreError("save set \"" + saveset + "\" does not exist in " + store.string());
    return read_saveset_dir(dir);
}

std::vector<SaveSet> read_store(const fs::path &store, std::vector<std::string> &problems) {
    if (!fs::is_directory(store))
        throw StoreError("the store " + store.string() + " does not exist");
    std::vector<SaveSet> sets;
    for (const auto &entry : fs::directory_iterator(store)) {
        std::string name = entry.path().filename().string();
        const bool staged = name.starts_with(staging_prefix);
        if ((name.starts_with(".") && !staged) || entry.is_symlink() || !entry.is_directory())
            continue;
        try {
            sets.push_back(read_saveset_dir(entry.path()));
            sets.back().staged = staged;
        } catch (const std::exception &e) {
            problems.push_back(std::string(e.what()));
        }
    }
    std::sort(sets.begin(), sets.end(),
              [](const SaveSet &a, const SaveSet &b) { return a.manifest.saveset < b.manifest.saveset; });
    return sets;
}

} // namespace dbhost
