// Baselines that move forward only when the host has stored what they
// describe, and their recovery after a crash.
#include "baseline_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "mailbox_files.h"
#include "messages.h"
#include "system/atomic_file.h"
#include "system/fd.h"
#include "work_tree.h"

namespace ark {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kIndexSuffix = ".index.zbk";
constexpr std::string_view kBaselineSuffix = ".index.zbk.baseline";
constexpr std::string_view kNoBaselineSuffix = ".index.zbk.nobaseline";
constexpr std::string_view kDiffBaselineSuffix = ".index.zbk.full";
constexpr const char *kWholeServerMark = ".ALL.export";
constexpr std::string_view kRecordMagic = "ARKJ1";
constexpr size_t kChunk = 1 << 16;

std::error_code last_error() { return {errno, std::generic_category()}; }

std::string index_path(const std::string &dir, std::string_view stem) {
    return dir + "/" + std::string(stem) + std::string(kIndexSuffix);
}
std::string data_path(const std::string &dir, std::string_view stem) {
    return dir + "/" + std::string(stem) + ".data.zbk";
}
std::string baseline_path(const std::string &dir, std::string_view stem) {
    return dir + "/." + std::string(stem) + std::string(kBaselineSuffix);
}
std::string no_baseline_path(const std::string &dir, std::string_view stem) {
    return dir + "/." + std::string(stem) + std::string(kNoBaselineSuffix);
}
std::string diff_baseline_path(const std::string &dir, std::string_view stem) {
    return dir + "/." + std::string(stem) + std::string(kDiffBaselineSuffix);
}
std::string whole_server_mark(const std::string &dir) { return dir + "/" + kWholeServerMark; }

std::string mailbox_of_stem(std::string_view stem) {
    return stem == "Public" ? std::string(kPublicFolder) : std::string(stem);
}

bool regular_file(const std::string &path, struct stat *status = nullptr) {
    struct stat s {};
    if (::lstat(path.c_str(), &s) != 0 || !S_ISREG(s.st_mode))
        return false;
    if (status)
        *status = s;
    return true;
}

bool same_state(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// The stems of the non-hidden index files in dir.
std::set<std::string> index_stems(const std::string &dir) {
    std::set<std::string> stems;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name[0] == '.' || name.size() <= kIndexSuffix.size() || !name.ends_with(kIndexSuffix))
            continue;
        stems.insert(name.substr(0, name.size() - kIndexSuffix.size()));
    }
    return stems;
}

void warn_on(std::error_code ec, const char *what, const std::string &path) {
    if (ec)
        msg("Warning: can't %s %s: %s", what, path.c_str(), ec.message().c_str());
}

// Removes path; its directory is made durable later, with the journal's
// protection until then. Absent counts as removed.
std::error_code remove_file(const std::string &path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return last_error();
    return {};
}

// A stem a record may name: one file name component.
bool usable_stem(std::string_view stem) {
    return !stem.empty() && stem != "." && stem != ".." && stem.find('/') == std::string_view::npos &&
           stem.find('\0') == std::string_view::npos;
}

// The CRC-32 of IEEE 802.3, continued from crc.
uint32_t crc32(uint32_t crc, std::string_view data) {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (const char ch : data)
        crc = table[(crc ^ static_cast<unsigned char>(ch)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string crc_line(uint32_t crc) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x\n", crc);
    return text;
}

char level_code(ExportLevel level) {
    switch (level) {
    case ExportLevel::copy:
        return 'c';
    case ExportLevel::full:
        return 'f';
    case ExportLevel::differential:
        return 'd';
    case ExportLevel::incremental:
        break;
    }
    return 'i';
}

// Reads exactly size bytes at offset; false at the end of the file or on
// an error.
bool read_at(int fd, uint64_t offset, char *out, size_t size) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, out, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        out += n;
        size -= static_cast<size_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return true;
}

// Calls take with the content of size bytes at offset of fd, in chunks.
template <typename Take> bool each_chunk(int fd, uint64_t offset, uint64_t size, Take take) {
    std::array<char, kChunk> buffer{};
    while (size > 0) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(size, buffer.size()));
        if (!read_at(fd, offset, buffer.data(), n) || !take(std::string_view(buffer.data(), n)))
            return false;
        offset += n;
        size -= n;
    }
    return true;
}

// The directory dir, by the descriptor the work tree checked when it is
// that directory.
sys::Fd open_directory(const std::string &dir) {
    if (export_dir_fd() >= 0 && work_tree_export_path() == dir)
        return sys::Fd(::fcntl(export_dir_fd(), F_DUPFD_CLOEXEC, 0));
    return sys::Fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Writes index from size bytes of the journal at offset, replacing it
// without a sync of its own.
std::error_code put_back_index(const std::string &index, int journal, uint64_t offset, uint64_t size) {
    sys::FileReplacement out(index, 0600, sys::Sync::deferred);
    if (out.error())
        return out.error();
    std::error_code ec;
    if (!each_chunk(journal, offset, size, [&](std::string_view chunk) { return !(ec = out.write(chunk)); }))
        return ec ? ec : std::make_error_code(std::errc::io_error);
    return out.commit();
}

// True when index holds exactly the size bytes of the journal at offset.
bool index_holds(const std::string &index, int journal, uint64_t offset, uint64_t size) {
    sys::Fd in(::open(index.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != size)
        return false;
    std::array<char, kChunk> mine{};
    uint64_t at = 0;
    return each_chunk(journal, offset, size, [&](std::string_view chunk) {
        if (!read_at(in.get(), at, mine.data(), chunk.size()))
            return false;
        at += chunk.size();
        return std::memcmp(mine.data(), chunk.data(), chunk.size()) == 0;
    });
}

// Makes everything written below dirfd durable (one sync of its file
// system), then removes the journal and syncs the directory. The journal
// stays, and says why, when the first step fails: the next set-up undoes
// what it holds.
void drop_journal(int dirfd, const std::string &dir) {
    if (::syncfs(dirfd) != 0) {
        msg("Warning: can't make the files of %s durable: %s; the job's next FULL or INCR backup takes this "
            "backup's changes again",
            dir.c_str(), std::strerror(errno));
        return;
    }
    if (::unlinkat(dirfd, kBaselineJournalName, 0) != 0 && errno != ENOENT) {
        msg("Warning: can't remove %s/%s: %s", dir.c_str(), kBaselineJournalName, std::strerror(errno));
        return;
    }
    if (::fsync(dirfd) != 0)
        msg("Warning: can't sync %s: %s", dir.c_str(), std::strerror(errno));
}

// ---- the per-stem files of the previous version ----

// Puts the stem's previous baseline back and removes what the unacknowledged
// export left. The journal goes last, so that an interruption here is
// finished by the next recovery.
void undo_old_stem(const std::string &dir, std::string_view stem) {
    const std::string index = index_path(dir, stem);
    const std::string baseline = baseline_path(dir, stem);
    const std::string marker = no_baseline_path(dir, stem);
    if (regular_file(baseline))
        warn_on(sys::rename_durably(baseline, index), "put back the baseline", index);
    else if (regular_file(marker))
        warn_on(sys::remove_durably(index), "remove the unacknowledged index file", index);
    else
        return;
    // A tool that appends to a leftover data file must start from none.
    warn_on(sys::remove_durably(data_path(dir, stem)), "remove the unacknowledged data file", data_path(dir, stem));
    warn_on(sys::remove_durably(marker), "remove", marker);
}

// Removes an index file, and its data file, that an unacknowledged
// whole-server export created without journaling it.
void undo_new_index(const std::string &dir, std::string_view stem) {
    warn_on(remove_file(index_path(dir, stem)), "remove the unacknowledged index file", index_path(dir, stem));
    warn_on(remove_file(data_path(dir, stem)), "remove the unacknowledged data file", data_path(dir, stem));
}

std::vector<std::string> recover_per_stem_files(const std::string &dir) {
    std::vector<std::string> recovered;
    std::set<std::string> journaled;
    std::vector<std::string> leftovers;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() < 2 || name[0] != '.')
            continue;
        // An interrupted journal write: the tool had not run yet.
        if (name.starts_with("..") && name.ends_with(".tmp")) {
            leftovers.push_back(it->path().string());
            continue;
        }
        for (std::string_view suffix : {kBaselineSuffix, kNoBaselineSuffix})
            if (name.size() > suffix.size() + 1 && name.ends_with(suffix))
                journaled.insert(name.substr(1, name.size() - 1 - suffix.size()));
    }
    for (const std::string &path : leftovers)
        warn_on(sys::remove_durably(path), "remove", path);
    // A whole-server export that was interrupted before it journaled the
    // index files it created: those are the ones without a journal that
    // were not there before it, and before it every index had one.
    const std::string mark = whole_server_mark(dir);
    if (regular_file(mark)) {
        for (const std::string &stem : index_stems(dir)) {
            if (journaled.count(stem))
                continue;
            undo_new_index(dir, stem);
            warn_on(sys::sync_directory(dir), "sync", dir);
            recovered.push_back(mailbox_of_stem(stem));
        }
    }
    for (const std::string &stem : journaled) {
        undo_old_stem(dir, stem);
        recovered.push_back(mailbox_of_stem(stem));
    }
    if (regular_file(mark))
        warn_on(sys::remove_durably(mark), "remove", mark);
    return recovered;
}

// ---- the journal ----

// One record as read back.
struct ReadRecord {
    char type = 0; // 'B' a baseline, 'W' a whole-server export
    char level = 'i';
    bool had_index = false;
    std::string stem;
    uint64_t offset = 0, size = 0;
};

// The record at offset, and where the next one starts; nothing when it is
// torn, damaged or the end.
std::optional<ReadRecord> read_record(int fd, uint64_t &offset) {
    std::array<char, 128> head{};
    const ssize_t got = ::pread(fd, head.data(), head.size(), static_cast<off_t>(offset));
    if (got <= 0)
        return std::nullopt;
    const std::string_view text(head.data(), static_cast<size_t>(got));
    const size_t newline = text.find('\n');
    if (newline == std::string_view::npos)
        return std::nullopt;
    const std::string header(text.substr(0, newline + 1));
    char magic[8] = {}, type = 0, level = 0, had = 0;
    unsigned long long stem_size = 0, size = 0;
    int used = 0;
    if (std::sscanf(header.c_str(), "%5s %c %c %c %llu %llu\n%n", magic, &type, &level, &had, &stem_size, &size,
                    &used) != 6 ||
        magic != kRecordMagic || static_cast<size_t>(used) != header.size() || stem_size > 4096 ||
        (type != 'B' && type != 'W') || (had != '0' && had != '1'))
        return std::nullopt;
    ReadRecord r;
    r.type = type;
    r.level = level;
    r.had_index = had == '1';
    r.stem.resize(stem_size);
    uint64_t at = offset + header.size();
    if (!read_at(fd, at, r.stem.data(), r.stem.size()))
        return std::nullopt;
    at += stem_size;
    r.offset = at;
    r.size = size;
    uint32_t crc = crc32(crc32(0, header), r.stem);
    if (!each_chunk(fd, at, size, [&](std::string_view chunk) {
            crc = crc32(crc, chunk);
            return true;
        }))
        return std::nullopt;
    at += size;
    std::array<char, 9> trailer{};
    if (!read_at(fd, at, trailer.data(), trailer.size()) ||
        std::string_view(trailer.data(), trailer.size()) != crc_line(crc))
        return std::nullopt;
    offset = at + trailer.size();
    if (type == 'B' && !usable_stem(r.stem))
        return std::nullopt;
    return r;
}

// Undoes what the journal of an earlier operation in dir holds. A mailbox
// whose index is still its baseline, with no data file beside it, had not
// been exported: it is left as it is and not named.
std::vector<std::string> recover_journal(const std::string &dir) {
    std::vector<std::string> recovered;
    sys::Fd dirfd = open_directory(dir);
    if (!dirfd)
        return recovered;
    sys::Fd fd(::openat(dirfd.get(), kBaselineJournalName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        if (errno != ENOENT)
            msg("Warning: can't read the journal %s/%s: %s; the baselines it holds are not put back", dir.c_str(),
                kBaselineJournalName, std::strerror(errno));
        return recovered;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        msg("Warning: %s/%s is not a journal this account wrote; it is left alone", dir.c_str(),
            kBaselineJournalName);
        return recovered;
    }
    std::map<std::string, ReadRecord> baselines; // the first record of each stem
    bool whole_server = false;
    uint64_t offset = 0;
    while (std::optional<ReadRecord> r = read_record(fd.get(), offset)) {
        if (r->type == 'W')
            whole_server = true;
        else
            baselines.emplace(r->stem, std::move(*r));
    }
    bool failed = false;
    auto warn = [&](std::error_code ec, const char *what, const std::string &path) {
        warn_on(ec, what, path);
        failed = failed || ec;
    };
    // Index files that a whole-server export made: every one without a
    // record, as every index there before it has one.
    if (whole_server) {
        for (const std::string &stem : index_stems(dir)) {
            if (baselines.count(stem))
                continue;
            warn(remove_file(index_path(dir, stem)), "remove the unacknowledged index file", index_path(dir, stem));
            warn(remove_file(data_path(dir, stem)), "remove the unacknowledged data file", data_path(dir, stem));
            recovered.push_back(mailbox_of_stem(stem));
        }
    }
    for (const auto &[stem, r] : baselines) {
        const std::string index = index_path(dir, stem);
        const bool data_left = regular_file(data_path(dir, stem));
        const bool index_left = regular_file(index);
        const bool moved = r.had_index ? !index_holds(index, fd.get(), r.offset, r.size) : index_left;
        // A FULL that is not stored leaves no DIFF baseline.
        if (r.level == 'f')
            warn(remove_file(diff_baseline_path(dir, stem)), "remove", diff_baseline_path(dir, stem));
        if (!moved && !data_left)
            continue;
        if (moved && r.had_index)
            warn(put_back_index(index, fd.get(), r.offset, r.size), "put back the baseline", index);
        else if (moved)
            warn(remove_file(index), "remove the unacknowledged index file", index);
        warn(remove_file(data_path(dir, stem)), "remove the unacknowledged data file", data_path(dir, stem));
        recovered.push_back(mailbox_of_stem(stem));
    }
    // What could not be put back stays journaled for the next set-up.
    if (!failed)
        drop_journal(dirfd.get(), dir);
    return recovered;
}

} // namespace

bool holds_diff_baselines(const std::string &dir) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() > kDiffBaselineSuffix.size() + 1 && name[0] == '.' && name.ends_with(kDiffBaselineSuffix))
            return true;
    }
    return false;
}

std::vector<std::string> recover_baselines(const std::string &dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return {};
    std::vector<std::string> recovered = recover_per_stem_files(dir);
    for (std::string &mailbox : recover_journal(dir))
        if (std::find(recovered.begin(), recovered.end(), mailbox) == recovered.end())
            recovered.push_back(std::move(mailbox));
    for (const std::string &mailbox : recovered)
        msg("Warning: the last backup of mailbox %s in %s was not stored completely; its previous baseline is put "
            "back, so this backup holds every change since the last one stored",
            mailbox.c_str(), dir.c_str());
    return recovered;
}

BaselineJournal::Journal *BaselineJournal::journal_of(const std::string &dir, ExportLevel level,
                                                     std::string &error) {
    if (auto found = journals_.find(dir); found != journals_.end()) {
        if (found->second.broken)
            error = "its journal could not be written";
        return found->second.broken ? nullptr : &found->second;
    }
    Journal j;
    j.dir = dir;
    j.dirfd = open_directory(dir);
    if (!j.dirfd) {
        error = std::strerror(errno);
        return nullptr;
    }
    // Made new, never an existing file or a link taken over: a journal an
    // earlier operation left is the next set-up's to recover.
    j.file.reset(::openat(j.dirfd.get(), kBaselineJournalName,
                          O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (!j.file) {
        error = errno == EEXIST ? std::string("the journal of an earlier backup, ") + kBaselineJournalName +
                                      ", is still there; the job's next FULL or INCR set-up recovers it"
                                : std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(j.file.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "its journal is not a regular file";
        return nullptr;
    }
    if (const int flags = ::fcntl(j.file.get(), F_GETFL); flags >= 0)
        ::fcntl(j.file.get(), F_SETFL, flags & ~O_NONBLOCK);
    j.durable = level != ExportLevel::copy;
    if (!j.durable && ::unlinkat(j.dirfd.get(), kBaselineJournalName, 0) != 0) {
        error = std::strerror(errno);
        return nullptr;
    }
    // The new name must survive a crash with the records synced into it.
    if (j.durable && ::fsync(j.dirfd.get()) != 0) {
        error = std::strerror(errno);
        ::unlinkat(j.dirfd.get(), kBaselineJournalName, 0);
        return nullptr;
    }
    return &journals_.emplace(dir, std::move(j)).first->second;
}

// Appends a record for every (stem, source) not recorded yet, the source's
// content or its absence, and with whole_server the whole-server mark, then
// syncs them together. A source that can't be read is left out (its own
// export reports it); a failed write or sync fails the batch.
bool BaselineJournal::record(Journal &j, const std::vector<std::string> &stems, ExportLevel level,
                             bool whole_server, std::string &error) {
    const int out = j.file.get();
    auto append = [&](std::string_view text, uint32_t &crc) {
        crc = crc32(crc, text);
        if (const std::error_code ec = sys::write_all(out, text)) {
            error = ec.message();
            return false;
        }
        j.end += text.size();
        return true;
    };
    auto torn = [&](uint64_t start) {
        // Cut back to the last whole record, so that what follows is read.
        if (::ftruncate(out, static_cast<off_t>(start)) != 0)
            j.broken = true;
        j.end = start;
        return false;
    };
    bool added = false;
    for (const std::string &stem : stems) {
        if (j.records.count(stem))
            continue;
        const std::string source = level == ExportLevel::differential ? diff_baseline_path(j.dir, stem)
                                                                      : index_path(j.dir, stem);
        sys::Fd in(::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!in && errno != ENOENT)
            continue;
        if (in && (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)))
            continue;
        Record r;
        r.had_index = static_cast<bool>(in);
        r.size = in ? static_cast<uint64_t>(st.st_size) : 0;
        const uint64_t start = j.end;
        const std::string header = std::string(kRecordMagic) + " B " + level_code(level) + " " +
                                   (r.had_index ? "1 " : "0 ") + std::to_string(stem.size()) + " " +
                                   std::to_string(r.size) + "\n";
        uint32_t crc = 0;
        if (!append(header, crc) || !append(stem, crc))
            return torn(start);
        r.offset = j.end;
        bool whole = true;
        if (in)
            whole = each_chunk(in.get(), 0, r.size, [&](std::string_view chunk) { return append(chunk, crc); });
        if (!whole) {
            if (error.empty())
                error = "the index changed while it was read";
            return torn(start);
        }
        uint32_t ignored = 0;
        if (!append(crc_line(crc), ignored))
            return torn(start);
        j.records.emplace(stem, r);
        added = true;
    }
    if (whole_server) {
        const uint64_t start = j.end;
        const std::string header = std::string(kRecordMagic) + " W - 0 0 0\n";
        uint32_t crc = 0, ignored = 0;
        if (!append(header, crc) || !append(crc_line(crc), ignored))
            return torn(start);
        added = true;
    }
    if (added && j.durable && ::fdatasync(out) != 0) {
        error = std::strerror(errno);
        // What reached the disk is unknown: nothing more builds on it.
        j.broken = true;
        return false;
    }
    return true;
}

std::string BaselineJournal::take_stem(Journal &j, const std::string &name, const std::string &mailbox) {
    const std::string key = j.dir + "/" + name;
    auto found = stems_.find(key);
    if (found != stems_.end()) {
        // An earlier export of this operation holds the stem: the baseline
        // to come back to is the one the operation started from.
        ++found->second.holders;
        return key;
    }
    Stem stem;
    stem.dir = j.dir;
    stem.name = name;
    stem.mailbox = mailbox;
    stem.holders = 1;
    stem.had_index = regular_file(index_path(j.dir, name), &stem.before);
    if (auto r = j.records.find(name); r != j.records.end())
        stem.record = r->second;
    stems_.emplace(key, std::move(stem));
    return key;
}

std::optional<BaselineJournal::ExportId> BaselineJournal::begin(const std::string &mailbox, const std::string &dir,
                                                                 ExportLevel level,
                                                                 const std::vector<std::string> &ahead) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    exports_.emplace_back();
    const ExportId id = exports_.size() - 1;
    Export &e = exports_.back();
    e.mailbox = mailbox;
    e.dir = dir;
    e.level = level;
    const std::string own = mailbox == "ALL" ? "ALL" : mailbox_file_stem(mailbox);
    auto refuse = [&](const char *what, const std::string &why) -> std::optional<ExportId> {
        msg("Error: mailbox %s was not exported: %s in %s: %s", mailbox.c_str(), what, dir.c_str(), why.c_str());
        exports_[id].state = State::rolled_back;
        return std::nullopt;
    };
    std::string error;
    Journal *j = journal_of(dir, level, error);
    if (!j)
        return refuse("can't keep its previous baseline", error);

    // The baselines this export needs, and those of the next pending
    // mailboxes, in one sync. The whole-server export keeps every index
    // there is, and its mark.
    std::vector<std::string> stems{own};
    const bool whole_server = mailbox == "ALL";
    if (whole_server) {
        for (const std::string &stem : index_stems(dir))
            stems.push_back(stem);
    } else if (!j->records.count(own)) {
        for (const std::string &next : ahead) {
            if (stems.size() >= kJournalBatch)
                break;
            if (next != "ALL" && !j->records.count(mailbox_file_stem(next)))
                stems.push_back(mailbox_file_stem(next));
        }
    }
    // Only its own index starts from the DIFF baseline; the others a
    // whole-server export keeps are what they are.
    const bool recorded = whole_server ? record(*j, {own}, level, false, error) &&
                                             record(*j, stems, level == ExportLevel::differential
                                                                   ? ExportLevel::incremental
                                                                   : level,
                                                    true, error)
                                       : record(*j, stems, level, false, error);
    if (!recorded || !j->records.count(own))
        return refuse("can't keep its previous baseline", error.empty() ? "its index can't be read" : error);
    if (whole_server)
        for (const std::string &stem : stems)
            if (!j->records.count(stem))
                return refuse("can't keep the previous baselines", index_path(dir, stem) + " can't be read");

    // A DIFF starts from the index of the job's last stored FULL, or, without
    // one, from none: it then holds every message, never fewer than it
    // should. Its record holds the same, for a crash to come back to.
    if (level == ExportLevel::differential) {
        const std::string full = diff_baseline_path(dir, own);
        const std::error_code start = regular_file(full) ? sys::copy_file(full, index_path(dir, own), sys::Sync::deferred)
                                                         : remove_file(index_path(dir, own));
        if (start) {
            refuse("can't start its DIFF from the job's last FULL", start.message());
            exports_[id].state = State::running;
            finish(id, false);
            return std::nullopt;
        }
    }
    if (whole_server) {
        for (const std::string &stem : index_stems(dir)) {
            exports_[id].before.push_back(stem);
            exports_[id].stems.push_back(take_stem(*j, stem, mailbox_of_stem(stem)));
        }
    } else {
        exports_[id].stems.push_back(take_stem(*j, own, mailbox));
    }
    return id;
}

void BaselineJournal::tool_ended(ExportId id) {
    Export &e = exports_.at(id);
    if (e.mailbox != "ALL" || e.done())
        return;
    // The whole-server tool rewrites every mailbox's files, but the export
    // named "ALL" hands out only the "ALL." files: every other index must
    // not move, and goes back at once, before another export builds on it.
    const std::string own = e.dir + "/ALL";
    std::vector<std::string> kept;
    for (const std::string &key : e.stems) {
        auto found = stems_.find(key);
        if (found == stems_.end())
            continue;
        if (key == own) {
            kept.push_back(key);
            continue;
        }
        // An earlier export of this operation that holds the stem keeps it.
        if (--found->second.holders == 0) {
            undo(found->second, e.level, false);
            stems_.erase(found);
        }
    }
    e.stems = std::move(kept);
    for (const std::string &name : index_stems(e.dir)) {
        const std::string key = e.dir + "/" + name;
        if (stems_.count(key) || std::find(e.before.begin(), e.before.end(), name) != e.before.end())
            continue;
        if (key != own) {
            undo_new_index(e.dir, name);
            continue;
        }
        // Its own index is new: it had no baseline. The journal's
        // whole-server mark says so to a recovery.
        Stem &stem = stems_[key];
        stem.dir = e.dir;
        stem.name = name;
        stem.mailbox = "ALL";
        stem.holders = 1;
        e.stems.push_back(key);
    }
}

bool BaselineJournal::index_unchanged(ExportId id) const {
    const Export &e = exports_.at(id);
    if (e.stems.size() != 1)
        return false;
    const Stem &stem = stems_.at(e.stems.front());
    struct stat now {};
    const std::string index = index_path(stem.dir, stem.name);
    const auto j = journals_.find(stem.dir);
    return stem.had_index && stem.record && stem.record->had_index && j != journals_.end() &&
           regular_file(index, &now) && same_state(now, stem.before) &&
           index_holds(index, j->second.file.get(), stem.record->offset, stem.record->size);
}

// Puts the stem's baseline back and removes what the export left; its
// directory is made durable at the close, and until then the journal holds
// the same for a recovery.
void BaselineJournal::undo(const Stem &stem, ExportLevel level, bool say) {
    const std::string index = index_path(stem.dir, stem.name);
    // A FULL that is not stored leaves no DIFF baseline: a DIFF after it
    // holds every message.
    if (level == ExportLevel::full)
        warn_on(remove_file(diff_baseline_path(stem.dir, stem.name)), "remove",
                diff_baseline_path(stem.dir, stem.name));
    const auto j = journals_.find(stem.dir);
    if (stem.record && stem.record->had_index && j != journals_.end()) {
        warn_on(put_back_index(index, j->second.file.get(), stem.record->offset, stem.record->size),
                "put back the baseline", index);
        if (say)
            msg("Warning: the index file %s of the previous export is put back", index.c_str());
    } else {
        const bool there = regular_file(index);
        warn_on(remove_file(index), "remove the unacknowledged index file", index);
        if (say && there)
            msg("Warning: the unusable index file %s is removed", index.c_str());
    }
    // A tool that appends to a leftover data file must start from none.
    warn_on(remove_file(data_path(stem.dir, stem.name)), "remove the unacknowledged data file",
            data_path(stem.dir, stem.name));
}

void BaselineJournal::release(Export &e, bool commit) {
    for (const std::string &key : e.stems) {
        auto found = stems_.find(key);
        if (found == stems_.end())
            continue;
        if (!commit) {
            undo(found->second, e.level, true);
            stems_.erase(found);
        } else if (--found->second.holders == 0) {
            stems_.erase(found);
        }
    }
    // A whole-server export undone before its tool's files were sorted out:
    // the index files it made have no record.
    if (!commit && e.mailbox == "ALL") {
        const auto j = journals_.find(e.dir);
        for (const std::string &name : index_stems(e.dir))
            if (!stems_.count(e.dir + "/" + name) && (j == journals_.end() || !j->second.records.count(name)))
                undo_new_index(e.dir, name);
    }
}

void BaselineJournal::finish(ExportId id, bool commit) {
    Export &e = exports_.at(id);
    if (e.done())
        return;
    e.state = commit ? State::committed : State::rolled_back;
    release(e, commit);
    e.outstanding.clear();
}

void BaselineJournal::abandon(ExportId id) { finish(id, false); }

void BaselineJournal::commit_now(ExportId id) { finish(id, true); }

void BaselineJournal::expect(ExportId id, const std::vector<std::string> &queued) {
    Export &e = exports_.at(id);
    if (e.done())
        return;
    if (queued.empty()) {
        finish(id, false);
        return;
    }
    e.expected = true;
    e.outstanding = queued;
    for (const std::string &path : queued)
        queued_[path].push_back(id);
}

void BaselineJournal::delivered(std::string_view path) {
    last_delivered_.reset();
    auto found = queued_.find(std::string(path));
    if (found == queued_.end() || found->second.empty())
        return;
    last_delivered_.emplace(found->first, found->second.front());
    found->second.pop_front();
    if (found->second.empty())
        queued_.erase(found);
}

BaselineJournal::Outcome BaselineJournal::acknowledged(DB_ITEM_RESULT result) {
    Outcome outcome;
    std::vector<std::string> &dropped = outcome.dropped;
    if (!last_delivered_)
        return outcome;
    const auto [path, id] = *last_delivered_;
    last_delivered_.reset();
    Export &e = exports_.at(id);
    if (e.done())
        return outcome;
    auto it = std::find(e.outstanding.begin(), e.outstanding.end(), path);
    if (it != e.outstanding.end())
        e.outstanding.erase(it);
    if (result == DB_ITEM_FAIL) {
        dropped = e.outstanding;
        // The rest of the export is not handed out: its index no longer
        // describes what this save set holds.
        for (const std::string &rest : dropped) {
            auto q = queued_.find(rest);
            if (q == queued_.end())
                continue;
            auto pos = std::find(q->second.begin(), q->second.end(), id);
            if (pos != q->second.end())
                q->second.erase(pos);
            if (q->second.empty())
                queued_.erase(q);
        }
        msg("Warning: the host could not store %s; the baseline of mailbox %s is kept, so its changes will be in "
            "the next backup",
            path.c_str(), e.mailbox.c_str());
        finish(id, false);
        outcome.rolled_back = true;
        return outcome;
    }
    // Moved forward at the close, when the host has made it durable.
    if (e.expected && e.outstanding.empty())
        e.state = State::acknowledged;
    return outcome;
}

void BaselineJournal::commit(bool stored) {
    for (ExportId id = 0; id < exports_.size(); ++id) {
        Export &e = exports_[id];
        if (e.done() || (stored && e.state == State::acknowledged))
            continue;
        if (!stored)
            msg("Warning: the host could not store this backup durably (STORED=NO); the baseline of mailbox %s is "
                "kept, so its changes will be in the next backup",
                e.mailbox.c_str());
        else
            msg("Warning: the operation ended before the host stored every file of mailbox %s; its previous "
                "baseline is kept, so its changes will be in the next backup",
                e.mailbox.c_str());
        finish(id, false);
    }
    // Every export left was stored whole: its index is the new baseline, and
    // a FULL's is also the baseline of the job's DIFF backups. Made durable
    // with the journal's removal.
    for (Export &e : exports_) {
        if (e.state != State::acknowledged)
            continue;
        e.state = State::committed;
        for (const std::string &key : e.stems) {
            auto found = stems_.find(key);
            if (found == stems_.end() || --found->second.holders > 0)
                continue;
            const Stem &stem = found->second;
            if (e.level == ExportLevel::full) {
                const std::string index = index_path(stem.dir, stem.name);
                const std::string full = diff_baseline_path(stem.dir, stem.name);
                if (const std::error_code ec = sys::copy_file(index, full, sys::Sync::deferred)) {
                    msg("Warning: can't keep %s as the baseline of the job's DIFF backups: %s; they export every "
                        "message of mailbox %s",
                        index.c_str(), ec.message().c_str(), stem.mailbox.c_str());
                    warn_on(remove_file(full), "remove", full);
                }
            }
            stems_.erase(found);
        }
    }
    close();
}

void BaselineJournal::close() {
    for (ExportId id = 0; id < exports_.size(); ++id) {
        if (exports_[id].done())
            continue;
        msg("Warning: the operation ended before the host stored every file of mailbox %s; its previous baseline "
            "is kept, so its changes will be in the next backup",
            exports_[id].mailbox.c_str());
        finish(id, false);
    }
    for (auto &[dir, j] : journals_)
        if (!j.broken && j.durable)
            drop_journal(j.dirfd.get(), dir);
    journals_.clear();
    exports_.clear();
    stems_.clear();
    queued_.clear();
    last_delivered_.reset();
}

BaselineJournal &baseline_journal() {
    static BaselineJournal journal;
    return journal;
}

} // namespace ark
