// Where messages go: the plug-in's messages, the host's own errors and notes,
// and trace() lines all land in one time-stamped log file; errors and
// warnings are also shown on standard error, everything else only with -v.
// Errors and warnings are counted, and each is offered to the mailbox
// outcomes of the summary.
#pragma once

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>

namespace dbhost {

class MessageLog {
public:
    // Opens (appends to) the log file and makes this the process's one log.
    // Throws std::system_error when the file cannot be opened.
    static void open(const std::filesystem::path &file, bool verbose);
    static MessageLog &get();

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
    MessageLog(std::FILE *file, bool verbose) : file_(file), verbose_(verbose) {}
    void write(std::string_view prefix, std::string_view text);

    struct Closer {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    bool verbose_;
    int errors_ = 0;
    int warnings_ = 0;
    std::string last_error_;
    std::set<std::string> unremoved_dirs_;
};

// The sink given to DB_SetLog.
void plugin_sink(char *text);

} // namespace dbhost
