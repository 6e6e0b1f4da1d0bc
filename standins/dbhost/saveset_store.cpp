#include "saveset_store.h"

#include <fcntl.h>
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

// Creates the directories of path below base one by one, making each new
// entry durable.
void make_parents(const fs::path &base, const fs::path &relative_dir) {
    fs::path current = base;
    for (const auto &part : relative_dir) {
        current /= part;
        if (make_directory(current))
            sync_directory(current.parent_path());
        else if (!fs::is_directory(fs::symlink_status(current)))
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
                             const std::string &job, bool replace)
    : store_(store), level_(level), replace_(replace) {
    std::string name = saveset_directory_name(saveset);
    final_ = store / name;
    std::error_code ec;
    make_private_store(store);
    if (replace) {
        dir_ = store / (staging_prefix + name);
        fs::remove_all(dir_, ec); // the leftover of an earlier replacement that failed
        if (ec)
            throw StoreError("cannot remove " + dir_.string() + ": " + ec.message());
        make_directory(dir_);
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
    append_synced(manifest_.get(), manifest, manifest_header(saveset, level, job, now(), next_sequence(store)));
    sync_directory(dir_);
    sync_directory(store);
}

Checked SaveSetWriter::store_item(const std::string &name, const fs::path &source) {
    if (held_.contains(name))
        throw StoreError("item " + name + " is already stored in this save set");
    Fd in = open_regular_file(source);
    fs::path incoming = dir_ / incoming_name;
    fs::path relative(name);
    fs::path data = dir_ / "data";
    fs::path target = data / relative;
    Checked checked;
    try {
        checked = copy_checked(in.get(), source, incoming, true);
        make_parents(data, relative.parent_path());
        if (::rename(incoming.c_str(), target.c_str()) != 0)
            throw std::system_error(errno, std::generic_category(), "cannot move the copy to " + target.string());
    } catch (...) {
        ::unlink(incoming.c_str());
        throw;
    }
    sync_directory(target.parent_path());

    ManifestItem item{name, checked.size, checked.sha256, level_, now()};
    append_synced(manifest_.get(), dir_ / manifest_name, manifest_item_line(item));
    held_.insert(name);
    return checked;
}

bool SaveSetWriter::finish(bool complete) {
    append_synced(manifest_.get(), dir_ / manifest_name, manifest_end_line(now(), complete));
    manifest_ = Fd();
    if (!replace_ || !complete)
        return false;
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
        if (name.starts_with(".") || !entry.is_directory())
            continue;
        try {
            sets.push_back(read_saveset_dir(entry.path()));
        } catch (const std::exception &e) {
            problems.push_back(std::string(e.what()));
        }
    }
    std::sort(sets.begin(), sets.end(),
              [](const SaveSet &a, const SaveSet &b) { return a.manifest.saveset < b.manifest.saveset; });
    return sets;
}

} // namespace dbhost
