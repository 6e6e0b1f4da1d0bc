// Where messages go: the plug-in's messages, the host's own errors and notes,
// and trace() lines all land in one time-stamped log file; errors and
// warnings are also shown to the operator through the front end's echo
// (dbhost: its standard error), everything else only when verbose.
// Errors and warnings are counted, and each is offered to the mailbox
// outcomes of the summary.
#pragma once

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace host {

// What a line shown to the operator is: an "Error:" or "Warning:" (of the
// plug-in or the host), a remark of the host, or a detail shown only when
// verbose.
enum class Shown { error, warning, notice, detail };

// Shows one line to the operator; the line has no line end.
using Echo = std::function<void(Shown kind, std::string_view line)>;

class MessageLog {
public:
    // Opens (appends to) the log file and makes this the process's one log;
    // the host's own lines in it are marked "HOST_NAME: ". Throws
    // std::system_error when the file cannot be opened.
    static void open(const std::filesystem::path &file, bool verbose, std::string host_name = "dbhost");
    static MessageLog &get();
    // Where shown lines go from now on, for every log of the process;
    // standard error until a front end says otherwise.
    static void set_echo(Echo echo);

    // A message of the plug-in, as delivered to the DB_SetLog sink.
    void plugin_message(std::string_view text);
    void trace_line(std::string_view text);
    // The host's own messages. error() and warning() prefix "Error: " and
    // "Warning: ", go to standard error and are counted.
    void error(std::string_view text);
    void warning(std::string_view text);
    // A remark that matters to the operator without being an error or warning:
    // shown on standard error, logged, not counted.
    void notice(std::string_view text);
    // Logged, and shown only with -v.
    void note(std::string_view text);
    // Logged only (for lines that are printed on standard output anyway).
    void record(std::string_view text);

    int errors() const { return errors_; }
    int warnings() const { return warnings_; }
    // The text of the latest "Error:" message, or "".
    const std::string &last_error() const { return last_error_; }
    // The log file's descriptor, or -1.
    int descriptor() const { return file_ ? ::fileno(file_.get()) : -1; }

    // At the end of an operation: an export directory that the plug-in
    // reported as "not removed" while it still held files, and that is still
    // there, becomes a warning now.
    void settle();

private:
    MessageLog(std::FILE *file, bool verbose, std::string host_name)
        : file_(file), verbose_(verbose), host_prefix_(std::move(host_name) + ": ") {}
    void write(std::string_view prefix, std::string_view text);
    static void show(Shown kind, std::string_view line);

    struct Closer {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    bool verbose_;
    std::string host_prefix_;
    int errors_ = 0;
    int warnings_ = 0;
    std::string last_error_;
    std::set<std::string> unremoved_dirs_;
};

// The sink given to DB_SetLog.
void plugin_sink(char *text);

} // namespace host
