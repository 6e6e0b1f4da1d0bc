#include "support/sync_trace.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace arktest {

const std::vector<std::string> kStraceOptions{
    "-f", "-y", "-yy", "-qq", "-s", "4096",
    "-e", "trace=openat,openat2,open,creat,write,pwrite64,writev,pwritev,pwritev2,copy_file_range,sendfile,"
          "ftruncate,truncate,rename,renameat,renameat2,link,linkat,unlink,unlinkat,mkdir,mkdirat,fsync,"
          "fdatasync,syncfs,sync,sync_file_range,execve,close,clone,clone3,fork,vfork,chdir,fchdir"};

namespace {

using Time = SyncTrace::Time;

// One call as strace shows it, its unfinished and resumed halves joined.
struct Call {
    int pid = 0;
    Time start = 0, end = 0;
    std::string name;
    std::vector<std::string> args; // top-level arguments, as written
    std::string result;            // after " = "
};

// The index just past the closing bracket of the one that starts at i,
// skipping strings and nested brackets; text.size() when it is not closed.
size_t skip_bracket(const std::string &text, size_t i) {
    const char open = text[i];
    const char close = open == '(' ? ')' : open == '[' ? ']' : open == '{' ? '}' : '>';
    int depth = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i)
                if (text[i] == '\\')
                    ++i;
            continue;
        }
        if (c == open)
            ++depth;
        else if (c == close && --depth == 0)
            return i + 1;
    }
    return text.size();
}

std::vector<std::string> split_args(const std::string &text) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '(' || c == '[' || c == '{' || c == '<' || c == '"') {
            size_t end = i + 1;
            if (c == '"') {
                for (; end < text.size() && text[end] != '"'; ++end)
                    if (text[end] == '\\')
                        ++end;
                end = std::min(end + 1, text.size());
            } else {
                end = skip_bracket(text, i);
            }
            current += text.substr(i, end - i);
            i = end;
        } else if (c == ',') {
            args.push_back(current);
            current.clear();
            i += text.compare(i, 2, ", ") == 0 ? 2 : 1;
        } else {
            current += c;
            ++i;
        }
    }
    if (!current.empty() || !args.empty())
        args.push_back(current);
    return args;
}

std::optional<Call> parse_call(int pid, Time start, Time end, const std::string &text) {
    const size_t open = text.find('(');
    if (open == std::string::npos || open == 0)
        return std::nullopt;
    const size_t close = skip_bracket(text, open);
    if (close >= text.size())
        return std::nullopt;
    Call call{pid, start, end, text.substr(0, open), split_args(text.substr(open + 1, close - open - 2)), ""};
    const size_t equals = text.find("= ", close);
    if (equals == std::string::npos)
        return std::nullopt;
    call.result = text.substr(equals + 2);
    return call;
}

// The C escapes strace writes in strings.
std::string unescape(std::string_view quoted) {
    std::string out;
    for (size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] != '\\' || i + 1 >= quoted.size()) {
            out += quoted[i];
            continue;
        }
        const char c = quoted[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'r')
            out += '\r';
        else if (c == 'x' && i + 2 < quoted.size() && std::isxdigit(static_cast<unsigned char>(quoted[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(quoted[i + 2]))) {
            out += static_cast<char>(std::stoi(std::string(quoted.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else if (c >= '0' && c <= '7') {
            size_t n = 0;
            int value = 0;
            while (n < 3 && i + n < quoted.size() && quoted[i + n] >= '0' && quoted[i + n] <= '7')
                value = value * 8 + (quoted[i + n++] - '0');
            out += static_cast<char>(value);
            i += n - 1;
        } else {
            out += c;
        }
    }
    return out;
}

// Every string literal in text, unescaped.
std::vector<std::string> strings_in(const std::string &text) {
    std::vector<std::string> found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '"')
            continue;
        size_t end = i + 1;
        for (; end < text.size() && text[end] != '"'; ++end)
            if (text[end] == '\\')
                ++end;
        found.push_back(unescape(std::string_view(text).substr(i + 1, end - i - 1)));
        i = end;
    }
    return found;
}

std::string first_string(const std::string &arg) {
    const auto found = strings_in(arg);
    return found.empty() ? "" : found.front();
}

// The path strace shows for a descriptor: "3</a/b>" or "AT_FDCWD</a>";
// empty without one (a socket or pipe has none either).
std::string fd_path(const std::string &text) {
    const size_t open = text.find('<');
    if (open == std::string::npos)
        return "";
    const size_t close = skip_bracket(text, open);
    std::string inner = text.substr(open + 1, close - open - 2);
    if (const size_t nested = inner.find('<'); nested != std::string::npos)
        inner.resize(nested); // "/dev/null<char 1:3>"
    if (inner.ends_with(" (deleted)"))
        inner.resize(inner.size() - 10);
    if (inner.empty() || inner[0] != '/')
        return "";
    return unescape(inner);
}

long result_number(const std::string &result) {
    try {
        return std::stol(result);
    } catch (const std::exception &) {
        return -1;
    }
}

bool below(const std::string &path, const std::string &dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

std::string parent_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

} // namespace

class TraceReader {
public:
    explicit TraceReader(SyncTrace &trace) : t_(trace) {}

    void line(Time at, const std::string &text) {
        size_t i = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
            ++i;
        if (i == 0 || i >= text.size())
            return;
        const int pid = std::stoi(text.substr(0, i));
        std::string rest = text.substr(text.find_first_not_of(' ', i));
        if (!t_.host_)
            t_.host_ = pid;
        process(pid, at).last = at;
        if (rest.starts_with("---") || rest.starts_with("+++"))
            return;
        constexpr std::string_view unfinished = " <unfinished ...>";
        if (rest.ends_with(unfinished)) {
            pending_[pid] = {at, rest.substr(0, rest.size() - unfinished.size())};
            return;
        }
        Time start = at;
        if (rest.starts_with("<... ")) {
            const size_t resumed = rest.find("resumed>");
            const auto it = pending_.find(pid);
            if (resumed == std::string::npos || it == pending_.end())
                return;
            start = it->second.first;
            rest = it->second.second + rest.substr(resumed + 8);
            pending_.erase(it);
        }
        if (auto call = parse_call(pid, start, at, rest))
            apply(*call);
    }

private:
    SyncTrace::Process &process(int pid, Time at) {
        auto [it, made] = t_.processes_.try_emplace(pid);
        if (made) {
            it->second.pid = pid;
            it->second.group = pid;
            it->second.spawned = at;
        }
        return it->second;
    }

    // path made absolute against the descriptor (or the process's working
    // directory) and normal; directories that exist have their links resolved.
    std::string resolve(int pid, const std::string &dirfd, const std::string &name) {
        std::string base = dirfd.empty() ? "" : fd_path(dirfd);
        if (!dirfd.empty() && dirfd.starts_with("AT_FDCWD") && !base.empty())
            cwd_[pid] = base;
        if (base.empty())
            base = cwd_.count(pid) ? cwd_[pid] : "/";
        fs::path path = name.starts_with("/") ? fs::path(name) : fs::path(base) / name;
        path = path.lexically_normal();
        std::string text = path.string();
        if (text.size() > 1 && text.back() == '/')
            text.pop_back();
        const std::string parent = parent_of(text);
        auto [it, made] = canonical_.try_emplace(parent);
        if (made) {
            std::error_code ec;
            const fs::path real = fs::canonical(parent, ec);
            it->second = ec ? parent : real.string();
        }
        return it->second == "/" ? "/" + base_of(text) : it->second + "/" + base_of(text);
    }

    int lookup(const std::string &path, Time at) {
        int id = t_.file_at(path, at);
        if (id < 0) { // there before the trace
            id = static_cast<int>(t_.files_.size());
            t_.files_.push_back({});
            t_.files_.back().names.push_back({0, path});
            t_.name_changes_[path].insert(t_.name_changes_[path].begin(), {0, id});
        }
        return id;
    }

    int create(const std::string &path, int pid, Time at, bool directory) {
        const int id = static_cast<int>(t_.files_.size());
        SyncTrace::File file;
        file.directory = directory;
        file.names.push_back({at, path});
        file.created = at;
        file.creator = pid;
        t_.files_.push_back(file);
        name(path, id, at);
        return id;
    }

    void name(const std::string &path, int id, Time at) {
        const int old = t_.file_at(path, at);
        if (old >= 0 && old != id && t_.files_[old].last_name() == path)
            t_.files_[old].names.push_back({at, ""});
        t_.name_changes_[path].push_back({at, id});
        if (id >= 0 && t_.files_[id].last_name() != path)
            t_.files_[id].names.push_back({at, path});
    }

    void wrote(const Call &c, const std::string &fd, const std::string &text) {
        const std::string path = fd_path(fd);
        if (path.empty() || result_number(c.result) < 0)
            return;
        t_.files_[lookup(path, c.end)].writes.push_back({c.end, c.pid, text});
    }

    void apply(const Call &c) {
        const auto &a = c.args;
        const std::string &n = c.name;
        const long ret = result_number(c.result);
        auto arg = [&](size_t i) { return i < a.size() ? a[i] : std::string(); };
        if (n == "openat" || n == "open" || n == "creat" || n == "openat2") {
            if (ret < 0)
                return;
            const bool at = n == "openat" || n == "openat2";
            const std::string flags = n == "creat" ? "O_CREAT|O_TRUNC" : arg(at ? 2 : 1);
            std::string path = fd_path(c.result);
            if (path.empty())
                path = resolve(c.pid, at ? arg(0) : "", first_string(arg(at ? 1 : 0)));
            else if (at)
                resolve(c.pid, arg(0), ""); // notes the working directory
            if (flags.find("O_TMPFILE") != std::string::npos) {
                t_.files_[create(path, c.pid, c.end, false)].anonymous = true;
                return;
            }
            const bool creates = flags.find("O_CREAT") != std::string::npos;
            if (creates && (flags.find("O_EXCL") != std::string::npos || t_.file_at(path, c.end) < 0))
                create(path, c.pid, c.end, false);
            else if (flags.find("O_TRUNC") != std::string::npos)
                t_.files_[lookup(path, c.end)].writes.push_back({c.end, c.pid, ""});
            else
                lookup(path, c.end);
        } else if (n == "write" || n == "pwrite64" || n == "writev" || n == "pwritev" || n == "pwritev2") {
            std::string text;
            for (size_t i = 1; i < a.size(); ++i)
                for (const std::string &s : strings_in(a[i]))
                    text += s;
            wrote(c, arg(0), text);
        } else if (n == "ftruncate") {
            wrote(c, arg(0), "");
        } else if (n == "truncate") {
            if (ret == 0)
                t_.files_[lookup(resolve(c.pid, "", first_string(arg(0))), c.end)].writes.push_back(
                    {c.end, c.pid, ""});
        } else if (n == "copy_file_range") {
            wrote(c, arg(2), "");
        } else if (n == "sendfile") {
            wrote(c, arg(0), "");
        } else if (n == "rename" || n == "renameat" || n == "renameat2") {
            if (ret != 0)
                return;
            const bool at = n != "rename";
            const std::string from = resolve(c.pid, at ? arg(0) : "", first_string(arg(at ? 1 : 0)));
            const std::string to = resolve(c.pid, at ? arg(2) : "", first_string(arg(at ? 3 : 1)));
            const int moved = lookup(from, c.end);
            if (arg(4).find("RENAME_EXCHANGE") != std::string::npos) {
                const int other = lookup(to, c.end);
                t_.files_[other].names.push_back({c.end, from});
                t_.files_[moved].names.push_back({c.end, to});
                t_.name_changes_[from].push_back({c.end, other});
                t_.name_changes_[to].push_back({c.end, moved});
                return;
            }
            t_.name_changes_[from].push_back({c.end, -1});
            name(to, moved, c.end);
        } else if (n == "link" || n == "linkat") {
            if (ret != 0)
                return;
            const bool at = n == "linkat";
            const std::string from = resolve(c.pid, at ? arg(0) : "", first_string(arg(at ? 1 : 0)));
            const std::string to = resolve(c.pid, at ? arg(2) : "", first_string(arg(at ? 3 : 1)));
            name(to, lookup(from, c.end), c.end);
        } else if (n == "unlink" || n == "unlinkat") {
            if (ret != 0)
                return;
            const bool at = n == "unlinkat";
            const std::string path = resolve(c.pid, at ? arg(0) : "", first_string(arg(at ? 1 : 0)));
            const int id = lookup(path, c.end);
            t_.removals_.push_back({c.start, c.pid, id, path});
            name(path, -1, c.end);
            if (t_.files_[id].last_name() == path)
                t_.files_[id].names.push_back({c.end, ""});
        } else if (n == "mkdir" || n == "mkdirat") {
            if (ret != 0)
                return;
            const bool at = n == "mkdirat";
            create(resolve(c.pid, at ? arg(0) : "", first_string(arg(at ? 1 : 0))), c.pid, c.end, true);
        } else if (n == "fsync" || n == "fdatasync" || n == "syncfs" || n == "sync_file_range" || n == "sync") {
            if (ret != 0)
                return;
            using K = SyncTrace::SyncKind;
            const K kind = n == "fsync"       ? K::fsync
                           : n == "fdatasync" ? K::fdatasync
                           : n == "syncfs"    ? K::syncfs
                           : n == "sync"      ? K::sync
                                              : K::range;
            t_.syncs_.push_back({c.start, c.end, kind, kind == K::sync ? "" : fd_path(arg(0)), c.pid});
        } else if (n == "execve") {
            if (ret != 0)
                return;
            SyncTrace::Process &p = process(c.pid, c.start);
            p.argv = strings_in(arg(1));
            p.exec = c.start;
        } else if (n == "clone" || n == "clone3" || n == "fork" || n == "vfork") {
            if (ret <= 0)
                return;
            const int child = static_cast<int>(ret);
            SyncTrace::Process &p = process(child, c.start);
            p.parent = c.pid;
            p.spawned = std::min(p.spawned, c.start);
            const bool thread = arg(0).find("CLONE_THREAD") != std::string::npos ||
                                arg(1).find("CLONE_THREAD") != std::string::npos;
            p.group = thread ? t_.processes_[c.pid].group : child;
            if (!cwd_.count(child) && cwd_.count(c.pid))
                cwd_[child] = cwd_[c.pid];
        } else if (n == "chdir") {
            if (ret == 0)
                cwd_[c.pid] = resolve(c.pid, "", first_string(arg(0)));
        } else if (n == "fchdir") {
            if (ret == 0 && !fd_path(arg(0)).empty())
                cwd_[c.pid] = fd_path(arg(0));
        }
    }

    SyncTrace &t_;
    std::map<int, std::pair<Time, std::string>> pending_;
    std::map<int, std::string> cwd_;
    std::map<std::string, std::string> canonical_;
};

SyncTrace SyncTrace::parse(const std::string &text) {
    SyncTrace trace;
    TraceReader reader(trace);
    std::istringstream in(text);
    Time at = 0;
    for (std::string line; std::getline(in, line);)
        reader.line(++at, line);
    return trace;
}

SyncTrace SyncTrace::read(const fs::path &file) {
    std::ifstream in(file);
    if (!in)
        throw std::runtime_error("cannot read the trace " + file.string());
    std::stringstream text;
    text << in.rdbuf();
    return parse(text.str());
}

std::string SyncTrace::File::name_at(Time t) const {
    std::string name;
    for (const auto &[at, path] : names)
        if (at <= t)
            name = path;
    return name;
}

std::string SyncTrace::File::final_name() const {
    for (auto it = names.rbegin(); it != names.rend(); ++it)
        if (!it->second.empty())
            return it->second;
    return "";
}

bool SyncTrace::host_process(int pid) const {
    const auto it = processes_.find(pid);
    return it != processes_.end() && it->second.group == processes_.at(host_).group;
}

SyncTrace::Time SyncTrace::started_by_host(int pid) const {
    Time start = processes_.at(pid).spawned;
    for (int p = pid; p && processes_.count(p) && !host_process(p); p = processes_.at(p).parent)
        start = std::min(start, processes_.at(p).spawned);
    return start;
}

int SyncTrace::file_at(const std::string &path, Time t) const {
    const auto it = name_changes_.find(path);
    if (it == name_changes_.end())
        return -1;
    int id = -1;
    for (const auto &[at, file] : it->second)
        if (at <= t)
            id = file;
    return id;
}

std::string mount_point_of(const std::string &path) {
    static const std::vector<std::string> mounts = [] {
        std::vector<std::string> found;
        std::ifstream in("/proc/self/mountinfo");
        for (std::string line; std::getline(in, line);) {
            std::istringstream fields(line);
            std::string skip, point;
            fields >> skip >> skip >> skip >> skip >> point;
            found.push_back(unescape(point)); // spaces are written as \040
        }
        return found;
    }();
    std::string best = "/";
    for (const std::string &m : mounts)
        if ((below(path, m) || path == m) && m.size() > best.size())
            best = m;
    return best;
}

// A sync that started after `after` and returned before `before` made the
// entries of dir durable: an fsync or fdatasync of it, a syncfs of its file
// system, or a sync.
bool SyncTrace::directory_synced(const std::string &dir, Time after, Time before) const {
    for (const Sync &s : syncs_) {
        if (s.start <= after || s.end >= before)
            continue;
        if (s.kind == SyncKind::sync || (s.kind == SyncKind::syncfs && mount_point_of(s.path) == mount_point_of(dir)) ||
            ((s.kind == SyncKind::fsync || s.kind == SyncKind::fdatasync) && s.path == dir))
            return true;
    }
    return false;
}

bool SyncTrace::content_durable(int file, Time t) const {
    const File &f = files_.at(static_cast<size_t>(file));
    Time last = 0;
    for (const Write &w : f.writes)
        if (w.at < t)
            last = std::max(last, w.at);
    if (last == 0)
        return true;
    // Synced under any name it had by then.
    std::set<std::string> names, mounts;
    for (const auto &[at, path] : f.names)
        if (!path.empty() && at < t) {
            names.insert(path);
            mounts.insert(mount_point_of(path));
        }
    for (const Sync &s : syncs_) {
        if (s.start <= last || s.end >= t)
            continue;
        switch (s.kind) {
        case SyncKind::sync:
            return true;
        case SyncKind::syncfs:
            if (mounts.count(mount_point_of(s.path)))
                return true;
            break;
        case SyncKind::fsync:
        case SyncKind::fdatasync:
            if (names.count(s.path) && file_at(s.path, s.start) == file)
                return true;
            break;
        case SyncKind::range:
            break;
        }
    }
    return false;
}

bool SyncTrace::name_durable(const std::string &path, Time t) const {
    const auto it = name_changes_.find(path);
    if (it == name_changes_.end())
        return true;
    Time last = 0;
    for (const auto &[at, file] : it->second)
        if (at < t)
            last = at;
    return last == 0 || directory_synced(parent_of(path), last, t);
}

bool SyncTrace::names_durable_below(const std::string &path, const std::string &top, Time t) const {
    if (!name_durable(path, t))
        return false;
    for (std::string dir = parent_of(path); below(dir, top); dir = parent_of(dir))
        if (!name_durable(dir, t))
            return false;
    return true;
}

namespace {

bool word_in(const std::string &text, const std::string &word) {
    if (word.empty())
        return false;
    auto alnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool starts = at == 0 || !alnum(text[at - 1]);
        const size_t end = at + word.size();
        if (starts && (end == text.size() || !alnum(text[end])))
            return true;
    }
    return false;
}

struct Export {
    int pid = 0;              // the host's child that ran the tool
    Time start = 0, end = 0;  // started by the host; its last call
    std::string mailbox;      // the tool's "-u" argument, if any
    std::set<int> outputs;
    std::string dir;          // where its outputs are
    std::set<std::string> words;
};

} // namespace

std::string OrderingReport::describe() const {
    std::string text = std::to_string(exports) + " exports, " + std::to_string(commits) + " commits";
    for (const std::string &v : violations)
        text += "\n  " + v;
    return text;
}

OrderingReport check_power_loss_ordering(const SyncTrace &trace, const fs::path &work_root,
                                         const fs::path &store_root) {
    std::error_code ec;
    const std::string work = fs::weakly_canonical(work_root, ec).string();
    const std::string store = fs::weakly_canonical(store_root, ec).string();
    const auto &files = trace.files();
    const auto &procs = trace.processes();
    OrderingReport report;

    // The host's child each process descends from (0 for the host's own).
    auto tool_of = [&](int pid) {
        int p = pid;
        while (p && procs.count(p) && !trace.host_process(p)) {
            const int parent = procs.at(p).parent;
            if (!parent || trace.host_process(parent))
                return p;
            p = parent;
        }
        return 0;
    };

    std::map<int, Export> exports;
    for (size_t id = 0; id < files.size(); ++id)
        for (const auto &w : files[id].writes) {
            const int tool = tool_of(w.pid);
            // Not an anonymous file never linked in (the tool's captured output).
            if (!tool || !below(files[id].name_at(w.at), work) ||
                (files[id].anonymous && files[id].names.size() == 1))
                continue;
            Export &e = exports[tool];
            e.pid = tool;
            e.start = trace.started_by_host(tool);
            e.outputs.insert(static_cast<int>(id));
        }
    for (auto &[pid, e] : exports) {
        for (const auto &[p, proc] : procs)
            if (tool_of(p) == pid) {
                e.end = std::max(e.end, proc.last);
                for (size_t i = 0; i + 1 < proc.argv.size(); ++i)
                    if (proc.argv[i] == "-u" && e.mailbox.empty())
                        e.mailbox = proc.argv[i + 1];
            }
        if (!e.mailbox.empty())
            e.words.insert(e.mailbox);
        for (int o : e.outputs) {
            const std::string name = files[o].final_name();
            e.dir = parent_of(name);
            e.words.insert(base_of(name).substr(0, base_of(name).find('.')));
        }
    }

    // Does the record name one of the export's words by t?
    auto names_export = [&](int file, const Export &e, Time t) {
        for (const auto &[at, path] : files[file].names)
            if (at <= t)
                for (const std::string &w : e.words)
                    if (word_in(base_of(path), w))
                        return true;
        for (const auto &w : files[file].writes)
            if (w.at <= t)
                for (const std::string &word : e.words)
                    if (word_in(w.text, word))
                        return true;
        return false;
    };

    for (const auto &[pid, e] : exports) {
        ++report.exports;
        std::string label = "the export of " + (e.mailbox.empty() ? *e.words.begin() : e.mailbox);
        const SyncTrace::Removal *commit = nullptr;
        for (const auto &r : trace.removals()) {
            const auto &f = files[r.file];
            if (r.at <= e.end || !trace.host_process(r.pid) || !f.created || *f.created >= e.start ||
                !trace.host_process(f.creator) || !below(r.path, work) || !names_export(r.file, e, e.start))
                continue;
            if (!commit || r.at < commit->at)
                commit = &r;
        }
        if (!commit) {
            report.violations.push_back(label + " (started at line " + std::to_string(e.start) +
                                        ") has no journal record the host removed after it");
            continue;
        }
        ++report.commits;
        const std::string at = " at line ";
        // Before the tool: the record and its name.
        const std::string record = files[commit->file].name_at(e.start);
        if (!trace.content_durable(commit->file, e.start))
            report.violations.push_back(label + ": its journal record " + record + " was not synced before the tool "
                                        "started" + at + std::to_string(e.start));
        const std::string top = below(record, e.dir) ? e.dir : parent_of(record);
        if (!trace.names_durable_below(record, top, e.start))
            report.violations.push_back(label + ": the name of its journal record " + record +
                                        " was not durable when the tool started" + at + std::to_string(e.start));
        // At the commit: the outputs kept, their copies in the store, the save set.
        const Time tc = commit->at;
        const std::string when = " when its baseline moved" + at + std::to_string(tc);
        std::set<std::string> saveset_dirs;
        std::set<size_t> copies;
        for (int o : e.outputs) {
            const std::string name = files[o].final_name();
            if (!files[o].name_at(tc).empty() && !trace.content_durable(o, tc))
                report.violations.push_back(label + ": " + files[o].name_at(tc) + " was not synced" + when);
            int copy = -1;
            Time placed = 0;
            for (size_t id = 0; id < files.size(); ++id) {
                const std::string stored = files[id].name_at(tc);
                if (files[id].directory || !below(stored, store) || base_of(stored) != base_of(name))
                    continue;
                for (const auto &[t, path] : files[id].names)
                    if (path == stored && t > e.start && t < tc && t >= placed) {
                        copy = static_cast<int>(id);
                        placed = t;
                    }
            }
            if (copy < 0) {
                // A store that does not keep items under their names: then
                // every save set it wrote to since the export started counts.
                const size_t before = saveset_dirs.size();
                for (const auto &f : files)
                    for (const auto &w : f.writes) {
                        const std::string path = f.name_at(w.at);
                        if (w.at > e.start && w.at < tc && trace.host_process(w.pid) && below(path, store)) {
                            const std::string relative = path.substr(store.size() + 1);
                            saveset_dirs.insert(store + "/" + relative.substr(0, relative.find('/')));
                        }
                    }
                if (saveset_dirs.size() == before)
                    report.violations.push_back(label + ": no copy of " + base_of(name) + " was in the store" + when);
                continue;
            }
            copies.insert(static_cast<size_t>(copy));
            const std::string stored = files[copy].name_at(tc);
            if (!trace.content_durable(copy, tc))
                report.violations.push_back(label + ": the stored " + stored + " was not synced" + when);
            if (!trace.names_durable_below(stored, store, tc))
                report.violations.push_back(label + ": the name of the stored " + stored + " was not durable" + when);
            const std::string relative = stored.substr(store.size() + 1);
            saveset_dirs.insert(store + "/" + relative.substr(0, relative.find('/')));
        }
        for (const std::string &saveset : saveset_dirs)
            for (size_t id = 0; id < files.size(); ++id) {
                const std::string path = files[id].name_at(tc);
                if (files[id].directory || copies.count(id) || !below(path, saveset) ||
                    path != files[id].last_name())
                    continue;
                if (!trace.content_durable(static_cast<int>(id), tc))
                    report.violations.push_back(label + ": " + path + " of its save set was not synced" + when);
                if (!trace.names_durable_below(path, store, tc))
                    report.violations.push_back(label + ": the name " + path + " of its save set was not durable" +
                                                when);
            }
    }
    return report;
}

SyncCounts count_syncs(const SyncTrace &trace, const fs::path &work_root, const fs::path &store_root) {
    std::error_code ec;
    const std::string work = fs::weakly_canonical(work_root, ec).string();
    const std::string store = fs::weakly_canonical(store_root, ec).string();
    SyncCounts counts;
    for (const auto &s : trace.syncs()) {
        if (!trace.host_process(s.pid))
            ++counts.tools;
        else if (s.path == work || below(s.path, work))
            ++counts.plugin;
        else if (s.path == store || below(s.path, store))
            ++counts.host;
        else
            ++counts.other;
    }
    return counts;
}

} // namespace arktest
