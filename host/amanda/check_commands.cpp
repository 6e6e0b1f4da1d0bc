// support, selfcheck and estimate: what the application can do, whether the
// client is ready for a backup, and what a backup would weigh.
#include <iostream>

#include "amanda_lines.h"
#include "commands.h"
#include "message_log.h"
#include "printable.h"
#include "system/process.h"

namespace amanda_app {
namespace {

void ok(const std::string &text) { write_line(amanda_out(), "OK " + text); }
void error(const std::string &text) { write_line(amanda_out(), "ERROR " + text); }

} // namespace

int run_support(const AppOptions &) {
    std::cout << "CONFIG YES\n"
                 "HOST YES\n"
                 "DISK YES\n"
                 "MAX-LEVEL 1\n"
                 "INDEX-LINE YES\n"
                 "INDEX-XML NO\n"
                 "MESSAGE-LINE YES\n"
                 "MESSAGE-XML NO\n"
                 "RECORD YES\n"
                 "COLLECTION NO\n"
                 "MULTI-ESTIMATE NO\n"
                 "CALCSIZE NO\n"
                 "CLIENT-ESTIMATE NO\n"
              << std::flush;
    return 0;
}

int run_selfcheck(const AppOptions &o) {
    // The plug-in's own errors become ERROR lines; the rest stays in the log.
    int errors = 0;
    host::MessageLog::set_echo([&](host::Shown kind, std::string_view line) {
        if (kind == host::Shown::error) {
            ++errors;
            error(std::string(line));
        }
    });
    ok("amarkzarafa version " ARK_VERSION);
    AppSettings s;
    try {
        s = settings_of(o);
        prepare_session(s);
    } catch (const std::exception &e) {
        error(std::string(e.what()));
        return 1;
    }
    bool good = true;
    if (auto problem = job_name_problem(s.job)) {
        error("the disk name \"" + host::printable(s.job) + "\" cannot name the job (" + *problem +
              "); set the property JOB");
        good = false;
    }
    if (auto problem = work_dir_problem(s.work_dir)) {
        error("work directory (property TMP-DIR): " + *problem);
        good = false;
    } else {
        ok("work directory " + s.work_dir.string() + " is usable");
    }
    std::unique_ptr<host::Plugin> plugin = load_plugin(s);
    if (!plugin) {
        error("set the property PLUGIN to the path of ark_zarafa.so");
        return 1;
    }
    ok("plug-in " + s.plugin.string() + " loads");
    using SelfTest = int (*)(int);
    auto self_test = reinterpret_cast<SelfTest>(plugin->symbol("test_zarafa_server_utils"));
    if (!self_test) {
        error("plug-in " + s.plugin.string() + " has no self tests; install a complete ark_zarafa.so");
        good = false;
    } else {
        // The self tests write their verdicts to standard error, which
        // Amanda keeps in its logs; standard output carries only check lines.
        const int result = self_test(0);
        if (result == 0)
            ok("the plug-in's self tests pass");
        else {
            error("the plug-in's self tests failed (" + std::to_string(result) + "); see the client's debug log");
            good = false;
        }
    }
    ark::sys::Command admin;
    admin.argv = {"zarafa-admin", "-l"};
    admin.out = ark::sys::Output::capture();
    admin.err = ark::sys::Output::capture();
    const ark::sys::Result answer = ark::sys::run(admin);
    if (answer.succeeded()) {
        ok("the server's tools answer (zarafa-admin -l)");
    } else {
        std::string said = answer.err.substr(0, answer.err.find('\n'));
        error("zarafa-admin -l failed (" + answer.outcome() + (said.empty() ? "" : ": " + host::printable(said)) +
              "); make the server's tools reachable for the user the application runs as (property ENV "
              "\"PATH=...\") and give that user the server's admin rights");
        good = false;
    }
    return good && errors == 0 ? 0 : 1;
}

int run_estimate(const AppOptions &o) {
    // The size of a mailbox export is known only once it is made; the server
    // estimates from the sizes of earlier dumps instead.
    write_line(amanda_err(), "ERROR amarkzarafa cannot estimate the size of a backup beforehand; set \"estimate "
                             "server\" in the dumptype");
    for (int level : o.levels)
        std::cout << level << " -1 -1" << std::endl;
    return 1;
}

} // namespace amanda_app
