// Baselines that move forward only when the host has stored what they
// describe, and their recovery after a crash.
#include "baseline_journal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>

#include "mailbox_files.h"
#include "messages.h"
#include "system/atomic_file.h"
#include "system/fd.h"

namespace ark {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kIndexSuffix = ".index.zbk";
constexpr std::string_view kBaselineSuffix = ".index.zbk.baseline";
constexpr std::string_view kNoBaselineSuffix = ".index.zbk.nobaseline";
constexpr std::string_view kDiffBaselineSuffix = ".index.zbk.full";
constexpr const char *kWholeServerMark = ".ALL.export";

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

// Compares two files block by block; an index can be far larger than what
// the host process should hold.
bool same_content(const std::string &a, const std::string &b) {
    sys::Fd fa(::open(a.c_str(), O_RDONLY | O_CLOEXEC));
    sys::Fd fb(::open(b.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fa || !fb)
        return false;
    std::array<char, 1 << 15> ba{}, bb{};
    for (;;) {
        const ssize_t na = ::read(fa.get(), ba.data(), ba.size());
        if (na < 0)
            return false;
        size_t got = 0;
        while (got < static_cast<size_t>(na)) {
            const ssize_t nb = ::read(fb.get(), bb.data() + got, static_cast<size_t>(na) - got);
            if (nb <= 0)
                return false;
            got += static_cast<size_t>(nb);
        }
        if (na == 0)
            return ::read(fb.get(), bb.data(), 1) == 0;
        if (std::memcmp(ba.data(), bb.data(), static_cast<size_t>(na)) != 0)
            return false;
    }
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

// Puts the stem's previous baseline back and removes what the unacknowledged
// export left. The journal goes last, so that an interruption here is
// finished by the next recovery. Returns what happened to the index, for the
// caller's message.
enum class Undone { nothing, put_back, removed };
Undone undo_stem(const std::string &dir, std::string_view stem) {
    const std::string index = index_path(dir, stem);
    const std::string baseline = baseline_path(dir, stem);
    const std::string marker = no_baseline_path(dir, stem);
    Undone what = Undone::nothing;
    if (regular_file(baseline)) {
        warn_on(sys::rename_durably(baseline, index), "put back the baseline", index);
        what = Undone::put_back;
    } else if (regular_file(marker)) {
        if (regular_file(index))
            what = Undone::removed;
        warn_on(sys::remove_durably(index), "remove the unacknowledged index file", index);
    } else {
        return Undone::nothing;
    }
    // A tool that appends to a leftover data file must start from none.
    warn_on(sys::remove_durably(data_path(dir, stem)), "remove the unacknowledged data file", data_path(dir, stem));
    warn_on(sys::remove_durably(marker), "remove", marker);
    return what;
}

// Removes an index file, and its data file, that an unacknowledged
// whole-server export created without journaling it.
void undo_new_index(const std::string &dir, std::string_view stem) {
    warn_on(sys::remove_durably(index_path(dir, stem)), "remove the unacknowledged index file", index_path(dir, stem));
    warn_on(sys::remove_durably(data_path(dir, stem)), "remove the unacknowledged data file", data_path(dir, stem));
}

// Durably records that stem's export starts from its current index (copied)
// or from none (a marker).
std::error_code write_journal(const std::string &dir, std::string_view stem, bool has_index) {
    if (has_index)
        return sys::copy_file_durably(index_path(dir, stem), baseline_path(dir, stem));
    return sys::replace_file(no_baseline_path(dir, stem), "no baseline\n");
}

// Makes the committed index durable, then drops its journal.
void commit_stem(const std::string &dir, std::string_view stem) {
    const std::string index = index_path(dir, stem);
    if (sys::Fd fd(::open(index.c_str(), O_RDONLY | O_CLOEXEC)); fd)
        ::fsync(fd.get());
    warn_on(sys::remove_durably(baseline_path(dir, stem)), "remove", baseline_path(dir, stem));
    warn_on(sys::remove_durably(no_baseline_path(dir, stem)), "remove", no_baseline_path(dir, stem));
}

// A DIFF starts from the index of the job's last stored FULL, or, without
// one, from none: it then holds every message, never fewer than it should.
std::error_code start_from_diff_baseline(const std::string &dir, std::string_view stem) {
    const std::string full = diff_baseline_path(dir, stem);
    if (regular_file(full))
        return sys::copy_file_durably(full, index_path(dir, stem));
    return sys::remove_durably(index_path(dir, stem));
}

// The committed index of a FULL becomes the baseline of the job's DIFFs.
void keep_diff_baseline(const std::string &dir, std::string_view stem) {
    if (const std::error_code ec = sys::copy_file_durably(index_path(dir, stem), diff_baseline_path(dir, stem))) {
        msg("Warning: can't keep %s as the baseline of the job's DIFF backups: %s; they export every message of "
            "mailbox %s",
            index_path(dir, stem).c_str(), ec.message().c_str(), mailbox_of_stem(stem).c_str());
        warn_on(sys::remove_durably(diff_baseline_path(dir, stem)), "remove", diff_baseline_path(dir, stem));
    }
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
    std::vector<std::string> recovered;
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return recovered;
    std::set<std::string> journaled;
    std::vector<std::string> leftovers;
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
            recovered.push_back(mailbox_of_stem(stem));
        }
    }
    for (const std::string &stem : journaled) {
        undo_stem(dir, stem);
        recovered.push_back(mailbox_of_stem(stem));
    }
    if (regular_file(mark))
        warn_on(sys::remove_durably(mark), "remove", mark);
    for (const std::string &mailbox : recovered)
        msg("Warning: the last backup of mailbox %s in %s was not stored completely; its previous baseline is put "
            "back, so this backup holds every change since the last one stored",
            mailbox.c_str(), dir.c_str());
    return recovered;
}

std::string BaselineJournal::take_stem(const std::string &dir, const std::string &name, const std::string &mailbox,
                                       bool &ok) {
    const std::string key = dir + "/" + name;
    auto found = stems_.find(key);
    if (found != stems_.end()) {
        // An earlier export of this operation holds the journal: it keeps
        // the older baseline, which is the one acknowledged.
        ++found->second.holders;
        return key;
    }
    Stem stem;
    stem.dir = dir;
    stem.name = name;
    stem.mailbox = mailbox;
    stem.holders = 1;
    stem.had_index = regular_file(index_path(dir, name), &stem.before);
    if (const std::error_code ec = write_journal(dir, name, stem.had_index)) {
        msg("Error: mailbox %s was not exported: can't keep its previous baseline in %s: %s", mailbox.c_str(),
            dir.c_str(), ec.message().c_str());
        ok = false;
        return key;
    }
    stems_.emplace(key, std::move(stem));
    return key;
}

std::optional<BaselineJournal::ExportId> BaselineJournal::begin(const std::string &mailbox, const std::string &dir,
                                                                 ExportLevel level) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    Export e;
    e.mailbox = mailbox;
    e.dir = dir;
    e.level = level;
    bool ok = true;
    // The whole-server export hands out only its own files: only its own
    // index starts from the DIFF baseline.
    if (level == ExportLevel::differential) {
        const std::string stem = mailbox == "ALL" ? "ALL" : mailbox_file_stem(mailbox);
        if (const std::error_code start = start_from_diff_baseline(dir, stem)) {
            msg("Error: mailbox %s was not exported: can't start its DIFF from the job's last FULL in %s: %s",
                mailbox.c_str(), dir.c_str(), start.message().c_str());
            exports_.push_back(std::move(e));
            exports_.back().done = true;
            return std::nullopt;
        }
    }
    if (mailbox == "ALL") {
        for (const std::string &stem : index_stems(dir)) {
            e.before.push_back(stem);
            const std::string key = take_stem(dir, stem, mailbox_of_stem(stem), ok);
            if (!ok)
                break;
            e.stems.push_back(key);
        }
        if (ok) {
            if (const std::error_code mark_ec = sys::replace_file(whole_server_mark(dir), "whole server\n")) {
                msg("Error: mailbox ALL was not exported: can't keep the previous baselines in %s: %s", dir.c_str(),
                    mark_ec.message().c_str());
                ok = false;
            }
        }
    } else {
        const std::string key = take_stem(dir, mailbox_file_stem(mailbox), mailbox, ok);
        if (ok)
            e.stems.push_back(key);
    }
    exports_.push_back(std::move(e));
    const ExportId id = exports_.size() - 1;
    if (!ok) {
        release(exports_[id], false);
        exports_[id].done = true;
        return std::nullopt;
    }
    return id;
}

void BaselineJournal::tool_ended(ExportId id) {
    Export &e = exports_.at(id);
    if (e.mailbox != "ALL" || e.done)
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
        Stem &stem = found->second;
        // An earlier export of this operation that holds the journal keeps it.
        if (--stem.holders == 0) {
            undo_stem(stem.dir, stem.name);
            stems_.erase(found);
        }
    }
    e.stems = std::move(kept);
    bool ok = true;
    for (const std::string &name : index_stems(e.dir)) {
        const std::string key = e.dir + "/" + name;
        if (stems_.count(key) || std::find(e.before.begin(), e.before.end(), name) != e.before.end())
            continue;
        if (key != own) {
            undo_new_index(e.dir, name);
            continue;
        }
        // Its own index is new: its journal says it had no baseline.
        if (const std::error_code ec = write_journal(e.dir, name, false)) {
            warn_on(ec, "journal", index_path(e.dir, name));
            ok = false;
            continue;
        }
        Stem &stem = stems_[key];
        stem.dir = e.dir;
        stem.name = name;
        stem.mailbox = "ALL";
        stem.holders = 1;
        e.stems.push_back(key);
    }
    // Without its own new index journaled the mark must stay: it tells the
    // next recovery which index files this export made.
    if (ok)
        warn_on(sys::remove_durably(whole_server_mark(e.dir)), "remove", whole_server_mark(e.dir));
}

bool BaselineJournal::index_unchanged(ExportId id) const {
    const Export &e = exports_.at(id);
    if (e.stems.size() != 1)
        return false;
    const Stem &stem = stems_.at(e.stems.front());
    struct stat now {};
    const std::string index = index_path(stem.dir, stem.name);
    return stem.had_index && regular_file(index, &now) && same_state(now, stem.before) &&
           same_content(index, baseline_path(stem.dir, stem.name));
}

void BaselineJournal::release(Export &e, bool commit) {
    for (const std::string &key : e.stems) {
        auto found = stems_.find(key);
        if (found == stems_.end())
            continue;
        Stem &stem = found->second;
        // A FULL that is not stored leaves no DIFF baseline: a DIFF after
        // it holds every message.
        if (!commit && e.level == ExportLevel::full)
            warn_on(sys::remove_durably(diff_baseline_path(stem.dir, stem.name)), "remove",
                    diff_baseline_path(stem.dir, stem.name));
        if (!commit) {
            const Undone what = undo_stem(stem.dir, stem.name);
            if (what == Undone::put_back)
                msg("Warning: the index file %s of the previous export is put back",
                    index_path(stem.dir, stem.name).c_str());
            else if (what == Undone::removed)
                msg("Warning: the unusable index file %s is removed", index_path(stem.dir, stem.name).c_str());
            stems_.erase(found);
            continue;
        }
        if (--stem.holders == 0) {
            // Before the journal goes: a crash between the two leaves a DIFF
            // baseline whose files are all stored.
            if (e.level == ExportLevel::full)
                keep_diff_baseline(stem.dir, stem.name);
            commit_stem(stem.dir, stem.name);
            stems_.erase(found);
        }
    }
    if (e.mailbox == "ALL" && regular_file(whole_server_mark(e.dir))) {
        if (!commit)
            for (const std::string &name : index_stems(e.dir))
                if (!stems_.count(e.dir + "/" + name) && !regular_file(baseline_path(e.dir, name)) &&
                    std::find(e.stems.begin(), e.stems.end(), e.dir + "/" + name) == e.stems.end())
                    undo_new_index(e.dir, name);
        warn_on(sys::remove_durably(whole_server_mark(e.dir)), "remove", whole_server_mark(e.dir));
    }
}

void BaselineJournal::finish(ExportId id, bool commit) {
    Export &e = exports_.at(id);
    if (e.done)
        return;
    e.done = true;
    release(e, commit);
    e.outstanding.clear();
}

void BaselineJournal::abandon(ExportId id) { finish(id, false); }

void BaselineJournal::commit_now(ExportId id) { finish(id, true); }

void BaselineJournal::expect(ExportId id, const std::vector<std::string> &queued) {
    Export &e = exports_.at(id);
    if (e.done)
        return;
    if (queued.empty()) {
        finish(id, false);
        return;
    }
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
    if (e.done)
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
    if (e.outstanding.empty())
        finish(id, true);
    return outcome;
}

void BaselineJournal::close() {
    for (ExportId id = 0; id < exports_.size(); ++id) {
        if (exports_[id].done)
            continue;
        msg("Warning: the operation ended before the host stored every file of mailbox %s; its previous baseline "
            "is kept, so its changes will be in the next backup",
            exports_[id].mailbox.c_str());
        finish(id, false);
    }
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
