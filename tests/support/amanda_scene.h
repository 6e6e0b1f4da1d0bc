// A throwaway Amanda installation around an E2eScene: a configuration with
// local auth, chg-disk virtual tapes and a holding disk, all in the scene's
// directory, reached by Amanda through a link /etc/amanda/NAME; the
// application built here, linked into Amanda's application directory under
// a name of its own. Both links, and Amanda's logs of the configuration, go
// when the scene ends. Amanda runs as its own user (backup), so the scene's
// files are handed to that user before every Amanda command.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "support/e2e_scene.h"

namespace arktest {

class AmandaScene {
public:
    // Why this machine cannot run Amanda here, or nothing.
    static std::optional<std::string> unavailable();

    AmandaScene();
    ~AmandaScene();
    AmandaScene(const AmandaScene &) = delete;
    AmandaScene &operator=(const AmandaScene &) = delete;

    E2eScene &server() { return scene_; }
    const std::string &config() const { return config_; }
    fs::path work() const { return scene_.dir() / "amanda-work"; } // the application's TMP-DIR

    // Writes amanda.conf; faults go to the simulator through the
    // application's ENV property, tools_dir (if given) comes first on PATH.
    void configure(const std::string &faults = "", const std::optional<fs::path> &tools_dir = std::nullopt);

    // An Amanda command run as the backup user, with the configuration name
    // appended after args_before_config and then the rest.
    ProcessResult amanda(const std::string &program, const std::vector<std::string> &before,
                         const std::vector<std::string> &after = {});
    ProcessResult amcheck() { return amanda("amcheck", {}); }
    ProcessResult amdump() { return amanda("amdump", {}); }
    ProcessResult force_level_1() { return amanda("amadmin", {}, {"force-level-1", "localhost", "mail"}); }
    // The report of the last run.
    std::string report() { return amanda("amreport", {}, {"--log=" + last_log()}).out; }
    // "amadmin find": the dumps in the catalogue.
    struct Dump {
        std::string datestamp; // YYYYMMDDhhmmss
        int level = -1;
        std::string status; // "OK", "FAIL", "PARTIAL"
    };
    std::vector<Dump> catalogue();
    // The dump of one level (its latest), as amfetchdump -p gives it.
    std::string fetch(int level);
    // amfetchdump --extract of the latest level 0 and the levels after it.
    ProcessResult extract();
    // amrecover as root (it refuses other users), the commands (one a line) on its
    // standard input, run in the scene's extract directory.
    ProcessResult amrecover(const std::vector<std::string> &commands);
    // The application's restore command on a dump, as the backup user.
    ProcessResult app_restore(const std::string &dump, const std::vector<std::string> &names);
    // The application's backup command of the job, as the backup user, with
    // a reader that takes the first bytes of the stream and goes away, as a
    // dumper that dies would: the stream then breaks part-way.
    ProcessResult app_backup_cut(int level, size_t bytes);

    fs::path application() const;

private:
    // The application run as the backup user by a shell: "$0" is the
    // application, the other arguments follow; the plug-in, the work
    // directory and the simulator's environment are in ARK_PLUGIN, ARK_WORK,
    // ARK_PATH and ARK_STORE.
    ProcessResult app_shell(const std::string &script, const std::vector<std::string> &args);
    std::string last_log();
    void hand_over();

    E2eScene scene_;
    std::string config_;
    fs::path app_link_;
};

} // namespace arktest
