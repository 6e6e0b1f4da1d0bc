#include "support/amanda_scene.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <system_error>

namespace arktest {
namespace {

const fs::path amanda_config_root = "/etc/amanda";
const fs::path amanda_application_dir = "/usr/lib/amanda/application";
const char *amanda_user = "backup";

// Every Amanda command as the backup user, ended after two minutes (a dump here takes seconds) so that
// a run that hangs fails the test instead of holding it.
std::vector<std::string> as_backup(const std::vector<std::string> &argv) {
    std::vector<std::string> full{"timeout", "-k", "10", "120", "runuser", "-u", amanda_user, "--"};
    full.insert(full.end(), argv.begin(), argv.end());
    return full;
}

bool backup_can_enter(const fs::path &dir) {
    return run_process(as_backup({"test", "-x", dir.string(), "-a", "-r", dir.string()})).exit_status == 0;
}

} // namespace

std::optional<std::string> AmandaScene::unavailable() {
    if (run_process({"sh", "-c", "command -v amdump && command -v amfetchdump"}).exit_status != 0)
        return "Amanda is not installed (scripts/lib.sh installs amanda-server and amanda-client)";
    if (!fs::is_directory(amanda_application_dir) || !fs::is_directory(amanda_config_root))
        return "Amanda's directories " + amanda_application_dir.string() + " and " + amanda_config_root.string() +
               " are missing";
    if (!getpwnam(amanda_user))
        return "there is no user \"backup\" for Amanda to run as";
    if (geteuid() != 0)
        return "running Amanda as its user \"backup\" and linking the application into its directory needs root";
    TempDir probe;
    if (!backup_can_enter(probe.path().parent_path()))
        return "the user \"backup\" cannot enter " + probe.path().parent_path().string() + " (set TMPDIR)";
    if (!backup_can_enter(ARK_LIB_DIR) || !backup_can_enter(ARK_SIM_BIN_DIR))
        return "the user \"backup\" cannot read the build tree " + std::string(ARK_BIN_DIR);
    return std::nullopt;
}

AmandaScene::AmandaScene() {
    const std::string tag = scene_.dir().filename().string().substr(scene_.dir().filename().string().find('.') + 1);
    config_ = "arktest-" + tag;
    app_link_ = amanda_application_dir / ("amarkzarafa-" + tag);
    const fs::path conf = scene_.dir() / "amanda";
    for (const char *sub : {"config", "vtapes/slot1", "vtapes/slot2", "vtapes/slot3", "vtapes/slot4", "vtapes/slot5",
                            "vtapes/slot6", "holding", "state/log", "state/index", "state/curinfo", "extract"})
        fs::create_directories(conf / sub);
    write_file(conf / "config" / "disklist", "localhost mail ark_mail\n");
    // amrecover reaches amindexd and amidxtaped through amandad, which
    // serves them only when they are named on its command line.
    const fs::path amandad = conf / "amandad-with-index";
    write_script(amandad, "exec /usr/lib/amanda/amandad \"$@\" amindexd amidxtaped\n");
    write_file(conf / "config" / "amanda-client.conf",
               "auth \"local\"\nindex_server \"localhost\"\ntape_server \"localhost\"\n"
               "amandad_path \"" + amandad.string() + "\"\n");
    fs::create_symlink(fs::path(ARK_BIN_DIR) / "amarkzarafa", app_link_);
    fs::create_symlink(conf / "config", amanda_config_root / config_);
    configure();
}

AmandaScene::~AmandaScene() {
    std::error_code ec;
    fs::remove(amanda_config_root / config_, ec);
    fs::remove(app_link_, ec);
    for (const char *dir : {"/var/log/amanda", "/var/log/amanda/client", "/var/log/amanda/server"})
        fs::remove_all(fs::path(dir) / config_, ec);
    // The scene's files belong to the backup user now; TempDir removes them.
}

fs::path AmandaScene::application() const { return app_link_; }

void AmandaScene::configure(const std::string &faults, const std::optional<fs::path> &tools_dir) {
    const fs::path conf = scene_.dir() / "amanda";
    const std::string path = (tools_dir ? tools_dir->string() + ":" : "") + ARK_SIM_BIN_DIR + ":/usr/bin:/bin";
    std::string text = "org \"arktest\"\nmailto \"\"\ndumpuser \"backup\"\ninparallel 1\ndumpcycle 0\n"
                       "runspercycle 1\ntapecycle 6\nruntapes 1\n";
    text += "tpchanger \"chg-disk:" + (conf / "vtapes").string() + "\"\n";
    text += "labelstr \"^ARKTEST-[0-9]+$\"\nautolabel \"ARKTEST-%%\" any\ntapetype \"DISK\"\n"
            "define tapetype DISK {\n    length 100 mbytes\n}\n";
    text += "infofile \"" + (conf / "state/curinfo").string() + "\"\n";
    text += "logdir \"" + (conf / "state/log").string() + "\"\n";
    text += "indexdir \"" + (conf / "state/index").string() + "\"\n";
    text += "holdingdisk hd {\n    directory \"" + (conf / "holding").string() +
            "\"\n    use 100 mbytes\n    chunksize 0\n}\n";
    text += "define application-tool app_ark {\n    plugin \"" + app_link_.filename().string() + "\"\n";
    text += "    property \"PLUGIN\" \"" + std::string(ARK_PLUGIN_PATH) + "\"\n";
    text += "    property \"TMP-DIR\" \"" + work().string() + "\"\n";
    text += "    property \"ENV\" \"PATH=" + path + "\" \"ZARAFA_SIM_STORE=" + scene_.server().string() + "\"";
    if (!faults.empty())
        text += " \"ZARAFA_SIM_FAULT=" + faults + "\"";
    text += "\n}\n";
    text += "define dumptype ark_mail {\n    program \"APPLICATION\"\n    application \"app_ark\"\n"
            "    auth \"local\"\n    estimate server\n    index yes\n    compress none\n"
            "    holdingdisk required\n    retry-dump 1\n}\n";
    write_file(conf / "config" / "amanda.conf", text);
}

void AmandaScene::hand_over() {
    run_process({"chown", "-R", std::string(amanda_user) + ":" + amanda_user, scene_.dir().string()});
}

ProcessResult AmandaScene::amanda(const std::string &program, const std::vector<std::string> &before,
                                  const std::vector<std::string> &after) {
    hand_over();
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), before.begin(), before.end());
    argv.push_back(config_);
    argv.insert(argv.end(), after.begin(), after.end());
    ProcessOptions options;
    options.cwd = scene_.dir() / "amanda" / "extract";
    return run_process(as_backup(argv), options);
}

std::string AmandaScene::last_log() {
    std::vector<fs::path> logs;
    for (const auto &entry : fs::directory_iterator(scene_.dir() / "amanda/state/log"))
        if (entry.path().filename().string().starts_with("log."))
            logs.push_back(entry.path());
    if (logs.empty())
        throw std::runtime_error("Amanda wrote no log");
    std::sort(logs.begin(), logs.end());
    return logs.back().string();
}

std::vector<AmandaScene::Dump> AmandaScene::catalogue() {
    std::vector<Dump> out;
    for (const std::string &line : lines_of(amanda("amadmin", {}, {"find", "localhost", "mail"}).out)) {
        // date time host disk level storage pool label file part status
        std::vector<std::string> f;
        size_t at = 0;
        while ((at = line.find_first_not_of(' ', at)) != std::string::npos) {
            const size_t end = std::min(line.find(' ', at), line.size());
            f.push_back(line.substr(at, end - at));
            at = end;
        }
        if (f.size() < 11 || f[2] != "localhost")
            continue;
        std::string datestamp;
        for (char c : f[0] + f[1])
            if (std::isdigit(static_cast<unsigned char>(c)))
                datestamp += c;
        // A part taped whole of a dump that failed is "OK PARTIAL".
        const bool partial = std::find(f.begin() + 11, f.end(), "PARTIAL") != f.end();
        out.push_back({datestamp, std::stoi(f[4]), partial ? "PARTIAL" : f[10]});
    }
    return out;
}

std::string AmandaScene::fetch(int level) {
    std::string datestamp;
    for (const Dump &d : catalogue())
        if (d.level == level && d.status == "OK" && d.datestamp > datestamp)
            datestamp = d.datestamp;
    if (datestamp.empty())
        throw std::runtime_error("no dump of level " + std::to_string(level) + " in the catalogue");
    const fs::path out = scene_.dir() / "amanda" / ("fetched." + std::to_string(level));
    ProcessResult r = amanda("sh", {"-c", "amfetchdump -a -p \"$0\" localhost mail \"$1\" > \"$2\""},
                             {datestamp, out.string()});
    if (r.exit_status != 0)
        throw std::runtime_error("amfetchdump -p failed: " + r.out + r.err);
    return out.string();
}

ProcessResult AmandaScene::extract() {
    const fs::path dir = scene_.dir() / "amanda" / "extract";
    return amanda("amfetchdump", {"-a", "--extract", "--directory", dir.string()}, {"localhost", "mail"});
}

ProcessResult AmandaScene::amrecover(const std::vector<std::string> &commands) {
    std::string script;
    for (const std::string &c : commands)
        script += c + "\n";
    const fs::path input = scene_.dir() / "amanda" / "amrecover.in";
    write_file(input, script);
    hand_over();
    ProcessOptions options;
    options.cwd = scene_.dir() / "amanda" / "extract";
    return run_process({"timeout", "-k", "10", "120", "sh", "-c", "exec amrecover \"$0\" -s localhost -t localhost < \"$1\"",
                        config_, input.string()},
                       options);
}

ProcessResult AmandaScene::app_shell(const std::string &script, const std::vector<std::string> &args) {
    std::vector<std::string> argv{"sh", "-c", script, application().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    hand_over();
    ProcessOptions options;
    options.env = {{"ARK_PLUGIN", ARK_PLUGIN_PATH},
                   {"ARK_WORK", work().string()},
                   {"ARK_PATH", std::string(ARK_SIM_BIN_DIR) + ":/usr/bin:/bin"},
                   {"ARK_STORE", scene_.server().string()}};
    return run_process(as_backup(argv), options);
}

namespace {
const char *app_settings = "--config x --host localhost --disk mail --plugin \"$ARK_PLUGIN\" --tmp-dir \"$ARK_WORK\" "
                           "--env \"PATH=$ARK_PATH\" --env \"ZARAFA_SIM_STORE=$ARK_STORE\"";
} // namespace

ProcessResult AmandaScene::app_restore(const std::string &dump, const std::vector<std::string> &names) {
    std::vector<std::string> args{dump};
    args.insert(args.end(), names.begin(), names.end());
    return app_shell(std::string("d=$1; shift; exec \"$0\" restore --level 0 ") + app_settings + " \"$@\" < \"$d\"",
                     args);
}

ProcessResult AmandaScene::app_backup_cut(int level, size_t bytes) {
    return app_shell(std::string("\"$0\" backup --level \"$1\" ") + app_settings +
                         " 3>&2 4>/dev/null | head -c \"$2\" > /dev/null",
                     {std::to_string(level), std::to_string(bytes)});
}

} // namespace arktest
