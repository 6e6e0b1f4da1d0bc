// The Debian packages as an administrator gets them: cpack builds them from
// this build tree, dpkg unpacks them into a scratch root, and the checks look
// at the installed layout, at the dependencies against the libraries the
// installed programs really load, and run the installed dbhost, plug-in,
// simulator and nv_rexec from that root.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "support/fixtures.h"

namespace arktest {
namespace {

const char *const kPluginPackage = "norva-ark-zarafa";
const char *const kStandinsPackage = "norva-ark-zarafa-standins";
const char *const kAmandaPackage = "norva-ark-zarafa-amanda";

const fs::path kPlugin = "usr/lib/norva/plugins/ark_zarafa.so";
const fs::path kLibnv = "usr/lib/norva/libnv.so";
const fs::path kSimDir = "usr/libexec/norva/zarafa-sim";
const fs::path kHeaderDir = "usr/include/norva";
const fs::path kManDir = "usr/share/man/man1";

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

std::set<std::string> names_in(const fs::path &dir) {
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// The package names of a Depends field, without versions or alternatives.
std::set<std::string> depends_names(const std::string &field) {
    std::set<std::string> names;
    std::stringstream in(field);
    std::string item;
    while (std::getline(in, item, ',')) {
        item = item.substr(0, item.find_first_of("(|"));
        item.erase(0, item.find_first_not_of(' '));
        names.insert(trimmed(item));
    }
    return names;
}

bool is_elf(const fs::path &file) {
    if (!fs::is_regular_file(file))
        return false;
    const std::string head = read_file(file).substr(0, 4);
    return head == "\x7f" "ELF";
}

// The package that ships a library file. ldd and dpkg may spell the same file
// with and without the /usr prefix (merged /usr), so every spelling is tried.
std::string owning_package(const fs::path &library) {
    std::vector<fs::path> spellings{library, fs::weakly_canonical(library)};
    const std::string text = library.string();
    if (text.starts_with("/usr/"))
        spellings.emplace_back(text.substr(4));
    else
        spellings.emplace_back("/usr" + text);
    for (const auto &path : spellings) {
        ProcessResult r = run_process({"dpkg", "-S", path.string()});
        if (r.exit_status == 0)
            return r.out.substr(0, r.out.find(':'));
    }
    return {};
}

// The libraries an ELF file names in its dynamic section (NEEDED).
std::vector<std::string> needed_libraries(const fs::path &file) {
    ProcessResult r = run_process({"readelf", "-d", file.string()});
    std::vector<std::string> needed;
    for (const auto &line : lines_of(r.out)) {
        auto open = line.find("(NEEDED)");
        if (open == std::string::npos)
            continue;
        auto from = line.find('[');
        auto to = line.find(']');
        if (from != std::string::npos && to != std::string::npos)
            needed.push_back(line.substr(from + 1, to - from - 1));
    }
    return needed;
}

// Where the loader finds each library of a file: name -> path, or "not found".
std::map<std::string, std::string> resolved_libraries(const fs::path &file) {
    ProcessResult r = run_process({"ldd", file.string()});
    std::map<std::string, std::string> found;
    for (const auto &line : lines_of(r.out)) {
        auto arrow = line.find(" => ");
        if (arrow == std::string::npos)
            continue;
        std::string name = line.substr(line.find_first_not_of(" \t"));
        name = name.substr(0, name.find(' '));
        std::string target = line.substr(arrow + 4);
        found[name] = target.substr(0, target.find(" ("));
    }
    return found;
}

// Holds an exclusive lock on a file for its life. cpack installs from the
// build tree and writes files into it, so the test processes that ctest runs
// side by side take turns.
class FileLock {
public:
    explicit FileLock(const fs::path &file) : fd_(open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0)
            flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_;
};

// Builds the packages once per test process and unpacks them: each into a
// root of its own, and all together into one root as dpkg would install them.
class Packages : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = std::make_unique<TempDir>();
        const fs::path build_dir = fs::path(ARK_BIN_DIR).parent_path();
        FileLock lock(build_dir / "tests" / "package_test.lock");
        ProcessResult r = run_process({"cpack", "-G", "DEB", "--config", (build_dir / "CPackConfig.cmake").string(),
                                       "-B", (dir_->path() / "debs").string()});
        if (r.exit_status != 0) {
            error_ = "cpack failed:\n" + r.out + r.err;
            return;
        }
        for (const auto &entry : fs::directory_iterator(dir_->path() / "debs")) {
            if (entry.path().extension() != ".deb")
                continue;
            ProcessResult name = run_process({"dpkg-deb", "-f", entry.path().string(), "Package"});
            debs_[trimmed(name.out)] = entry.path();
        }
        for (const auto &[name, deb] : debs_) {
            for (const fs::path &root : {dir_->path() / "root", dir_->path() / ("root-" + name)}) {
                ProcessResult x = run_process({"dpkg", "-x", deb.string(), root.string()});
                if (x.exit_status != 0) {
                    error_ = "dpkg -x " + deb.string() + " failed:\n" + x.err;
                    return;
                }
            }
        }
    }
    static void TearDownTestSuite() { dir_.reset(); }

    void SetUp() override {
        ASSERT_TRUE(error_.empty()) << error_;
        ASSERT_EQ(debs_.size(), 3u);
        ASSERT_TRUE(debs_.count(kPluginPackage) && debs_.count(kStandinsPackage) && debs_.count(kAmandaPackage));
    }

    static fs::path root() { return dir_->path() / "root"; }
    static fs::path root_of(const std::string &package) { return dir_->path() / ("root-" + package); }
    static std::string field(const std::string &package, const std::string &name) {
        return trimmed(run_process({"dpkg-deb", "-f", debs_.at(package).string(), name}).out);
    }

    static std::unique_ptr<TempDir> dir_;
    static std::string error_;
    static std::map<std::string, fs::path> debs_;
};

std::unique_ptr<TempDir> Packages::dir_;
std::string Packages::error_;
std::map<std::string, fs::path> Packages::debs_;

TEST_F(Packages, InstallTheProductLayoutWithTheSimulatorOutsideBin) {
    const fs::path r = root();
    EXPECT_EQ(names_in(r / "usr/lib/norva/plugins"), std::set<std::string>{"ark_zarafa.so"});
    EXPECT_TRUE(fs::is_regular_file(r / kLibnv));
    EXPECT_EQ(names_in(r / "usr/bin"), (std::set<std::string>{"dbhost", "nv_rexec"}));

    EXPECT_TRUE(fs::is_regular_file(r / kSimDir / "zarafa-sim"));
    for (const char *tool : {"zarafa-admin", "zarafa-backup", "zarafa-restore"}) {
        EXPECT_TRUE(fs::is_symlink(r / kSimDir / tool)) << tool;
        EXPECT_EQ(fs::read_symlink(r / kSimDir / tool), "zarafa-sim") << tool;
    }

    std::set<std::string> headers;
    for (const auto &entry : fs::directory_iterator(fs::path(ARK_SOURCE_DIR) / "include")) {
        const std::string name = entry.path().filename().string();
        headers.insert(name);
        EXPECT_EQ(read_file(r / kHeaderDir / name), read_file(entry.path())) << name;
    }
    EXPECT_EQ(names_in(r / kHeaderDir), headers);

    // The front page and the reference documents, in the same relative
    // places as in the tree, so that the front page's links hold.
    const fs::path doc = r / "usr/share/doc/norva-ark-zarafa";
    EXPECT_EQ(read_file(doc / "README.md"), read_file(fs::path(ARK_SOURCE_DIR) / "README.md"));
    const std::set<std::string> documents{"building.md", "integrating.md", "operating.md", "performance.md",
                                          "standins.md"};
    for (const auto &name : documents)
        EXPECT_EQ(read_file(doc / "docs" / name), read_file(fs::path(ARK_SOURCE_DIR) / "docs" / name)) << name;
    EXPECT_EQ(names_in(doc / "docs"), documents);

    EXPECT_EQ(read_file(r / kManDir / "nv_rexec.1"), read_file(fs::path(ARK_SOURCE_DIR) / "kernel/nv_rexec.1"));
    EXPECT_EQ(read_file(r / kManDir / "dbhost.1"), read_file(fs::path(ARK_SOURCE_DIR) / "standins/dbhost/dbhost.1"));
}

TEST_F(Packages, KeepTheStandinsOutOfThePluginPackage) {
    const fs::path plugin = root_of(kPluginPackage);
    for (const fs::path &shipped : {kPlugin, kLibnv, fs::path("usr/bin/nv_rexec"), kHeaderDir / "db_interface.h",
                                    kManDir / "nv_rexec.1", fs::path("usr/share/doc/norva-ark-zarafa/docs/operating.md")})
        EXPECT_TRUE(fs::exists(plugin / shipped)) << shipped;
    EXPECT_FALSE(fs::exists(plugin / "usr/bin/dbhost"));
    EXPECT_FALSE(fs::exists(plugin / "usr/libexec"));

    const fs::path standins = root_of(kStandinsPackage);
    for (const fs::path &shipped : {fs::path("usr/bin/dbhost"), kSimDir / "zarafa-sim", kManDir / "dbhost.1"})
        EXPECT_TRUE(fs::exists(standins / shipped)) << shipped;
    EXPECT_FALSE(fs::exists(standins / "usr/lib/norva"));
    EXPECT_FALSE(fs::exists(standins / "usr/include"));

    const fs::path amanda = root_of(kAmandaPackage);
    EXPECT_TRUE(fs::exists(amanda / "usr/lib/amanda/application/amarkzarafa"));
    EXPECT_FALSE(fs::exists(amanda / "usr/lib/norva"));
    EXPECT_FALSE(fs::exists(amanda / "usr/bin"));
    EXPECT_TRUE(contains(field(kAmandaPackage, "Depends"), kPluginPackage));

    ProcessResult arch = run_process({"dpkg", "--print-architecture"});
    for (const char *package : {kPluginPackage, kStandinsPackage, kAmandaPackage})
        EXPECT_EQ(field(package, "Architecture"), trimmed(arch.out)) << package;
    EXPECT_TRUE(contains(field(kStandinsPackage, "Recommends"), kPluginPackage));
}

// Every library that an installed program or library names is found: those
// of the product inside the package's own root, the others in packages that
// the package depends on. Every dependency names a package dpkg knows.
TEST_F(Packages, DependOnThePackagesOfEveryLibraryTheyLoad) {
    for (const char *package : {kPluginPackage, kStandinsPackage, kAmandaPackage}) {
        SCOPED_TRACE(package);
        const fs::path pkg_root = root_of(package);
        const std::set<std::string> depends = depends_names(field(package, "Depends"));
        for (const auto &name : depends) {
            if (name == kPluginPackage)
                continue; // built here, beside the package that needs it
            ProcessResult status = run_process({"dpkg-query", "-W", "-f=${Status}", name});
            EXPECT_TRUE(contains(status.out, "installed")) << "dependency " << name << " is no package here";
        }
        int elf_files = 0;
        for (const auto &entry : fs::recursive_directory_iterator(pkg_root)) {
            if (entry.is_symlink() || !is_elf(entry.path()))
                continue;
            ++elf_files;
            const auto resolved = resolved_libraries(entry.path());
            for (const auto &library : needed_libraries(entry.path())) {
                ASSERT_TRUE(resolved.count(library)) << entry.path() << " " << library;
                const std::string &where = resolved.at(library);
                ASSERT_NE(where, "not found") << entry.path() << " needs " << library;
                if (where.starts_with(pkg_root.string()))
                    continue;
                // A library of the product must come from the package itself,
                // never from the build tree or the system.
                EXPECT_NE(library, "libnv.so") << entry.path() << " loads libnv from " << where;
                const std::string owner = owning_package(where);
                ASSERT_FALSE(owner.empty()) << where << " belongs to no package";
                EXPECT_TRUE(depends.count(owner))
                    << entry.path() << " loads " << where << " of " << owner << ", which Depends does not name";
            }
        }
        EXPECT_GE(elf_files, package == kAmandaPackage ? 1 : 2);
    }
}

// The symbol versions an ELF file needs, by the library that must define
// them: "libc.so.6" -> {"GLIBC_2.34", ...} (objdump -p, Version References).
std::map<std::string, std::set<std::string>> version_references(const fs::path &file) {
    std::map<std::string, std::set<std::string>> refs;
    std::string library;
    for (const auto &line : lines_of(run_process({"objdump", "-p", file.string()}).out)) {
        const std::string required = "  required from ";
        if (line.starts_with(required)) {
            library = line.substr(required.size(), line.size() - required.size() - 1);
        } else if (!library.empty() && line.starts_with("    0x")) {
            refs[library].insert(line.substr(line.rfind(' ') + 1));
        } else {
            library.clear();
        }
    }
    return refs;
}

// The lowest version of a package that defines a symbol version node, from
// its symbols file (the table dpkg-shlibdeps reads); empty when unknown.
std::string node_version(const std::string &package, const std::string &node) {
    const std::string arch = trimmed(run_process({"dpkg", "--print-architecture"}).out);
    for (const fs::path symbols : {"/var/lib/dpkg/info/" + package + ":" + arch + ".symbols",
                                   "/var/lib/dpkg/info/" + package + ".symbols"}) {
        if (!fs::exists(symbols))
            continue;
        const std::string entry = "\n " + node + "@" + node + " ";
        const std::string table = read_file(symbols);
        const auto at = table.find(entry);
        if (at == std::string::npos)
            return {};
        const auto from = at + entry.size();
        return table.substr(from, table.find_first_of(" \n", from) - from);
    }
    return {};
}

bool version_at_least(const std::string &version, const std::string &floor) {
    return run_process({"dpkg", "--compare-versions", version, "ge", floor}).exit_status == 0;
}

// A package that the packages depend on with a version, and the C library and
// C++ runtime in any case, must be at least the version that defines every
// symbol version the installed files reference: a build with a newer
// toolchain needs newer libraries, and Depends must say so.
TEST_F(Packages, DependOnVersionsThatDefineEverySymbolVersionUsed) {
    for (const char *package : {kPluginPackage, kStandinsPackage, kAmandaPackage}) {
        SCOPED_TRACE(package);
        std::map<std::string, std::string> floors; // dependency -> "" or its ">=" version
        std::stringstream in(field(package, "Depends"));
        for (std::string item; std::getline(in, item, ',');) {
            std::istringstream words(item);
            std::string name, op, version;
            words >> name >> op >> version;
            floors[name] = op == "(>=" ? version.substr(0, version.find(')')) : "";
        }
        int checked = 0;
        for (const auto &entry : fs::recursive_directory_iterator(root_of(package))) {
            if (entry.is_symlink() || !is_elf(entry.path()))
                continue;
            const auto resolved = resolved_libraries(entry.path());
            for (const auto &[library, nodes] : version_references(entry.path())) {
                if (!resolved.count(library) || resolved.at(library).starts_with(root_of(package).string()))
                    continue;
                const std::string owner = owning_package(resolved.at(library));
                if (!floors.count(owner))
                    continue; // DependOnThePackagesOfEveryLibraryTheyLoad reports it
                const bool versioned = !floors.at(owner).empty();
                if (owner == "libc6" || owner == "libstdc++6") {
                    EXPECT_TRUE(versioned) << owner << " is named without a version";
                }
                for (const auto &node : nodes) {
                    const std::string needed = node_version(owner, node);
                    if (!versioned || needed.empty())
                        continue;
                    ++checked;
                    EXPECT_TRUE(version_at_least(floors.at(owner), needed))
                        << entry.path().filename() << " needs " << node << " of " << owner << " " << needed
                        << ", Depends says " << owner << " (>= " << floors.at(owner) << ")";
                }
            }
        }
        EXPECT_GT(checked, 0);
    }
}

// A C host built against the installed headers alone loads the installed
// plug-in and reads its identity.
TEST_F(Packages, InstalledHeadersServeACHostThatLoadsTheInstalledPlugin) {
    TempDir work;
    std::string source;
    for (const auto &name : names_in(root() / kHeaderDir))
        source += "#include <norva/" + name + ">\n";
    source += R"(#include <dlfcn.h>
#include <stdio.h>

void trace(const char *format, ...) { (void)format; }

int main(int argc, char **argv) {
    void *plugin = dlopen(argv[argc - 1], RTLD_NOW);
    if (!plugin) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    int (*get_info)(TYPE_DB_Info *);
    *(void **)&get_info = dlsym(plugin, "DB_GetInfo");
    TYPE_DB_Info info;
    if (!get_info || get_info(&info) != DB_NUM_I_OK)
        return 2;
    printf("%s|%d\n", info.cpDBClient, (int)info.eDBType);
    return 0;
}
)";
    write_file(work / "host.c", source);
    std::vector<std::string> cc{"cc", "-std=c11", "-pedantic", "-Wall", "-Werror", "-rdynamic",
                                "-I" + (root() / "usr/include").string()};
#ifdef __SANITIZE_ADDRESS__
    // An instrumented plug-in loads only into an instrumented process.
    cc.push_back("-fsanitize=address,undefined");
#endif
    cc.insert(cc.end(), {"-o", (work / "host").string(), (work / "host.c").string(), "-ldl"});
    ProcessResult built = run_process(cc);
    ASSERT_EQ(built.exit_status, 0) << built.err;
    ProcessResult r = run_process({(work / "host").string(), (root() / kPlugin).string()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "NORVA Zarafa Backup Client|2\n");
}

// The installed dbhost and plug-in back up the simulated server with the
// installed simulator tools, and bring a lost mailbox back.
TEST_F(Packages, InstalledHostAndPluginBackUpAndRestoreAgainstTheInstalledSimulator) {
    TempDir work;
    ProcessOptions options;
    options.cwd = work.path();
    // Only the scratch root's tools and the system's: nothing of the build tree.
    options.env["PATH"] = (root() / kSimDir).string() + ":/usr/bin:/bin";
    options.env["ZARAFA_SIM_STORE"] = (work / "server").string();
    const std::string dbhost = (root() / "usr/bin/dbhost").string();
    const std::string plugin = (root() / kPlugin).string();
    auto run = [&](const std::vector<std::string> &argv) { return run_process(argv, options); };

    ProcessResult info = run({dbhost, "info", "--plugin", plugin});
    ASSERT_EQ(info.exit_status, 0) << info.err;
    EXPECT_TRUE(contains(info.out, "client:   NORVA Zarafa Backup Client")) << info.out;

    fs::create_directories(work / "server");
    ASSERT_EQ(run({"zarafa-sim", "populate", "--users", "3", "--folders", "2", "--messages", "3"}).exit_status, 0);
    const std::string original = run({"zarafa-sim", "dump", "user0002"}).out;
    ASSERT_TRUE(contains(original, "message")) << original;

    ProcessResult backup = run({dbhost, "backup", "--plugin", plugin, "--store", "store", "--saveset", "full-1",
                                "--level", "FULL", "--job", "nightly", "--work-dir", (work / "tmp").string()});
    ASSERT_EQ(backup.exit_status, 0) << backup.out << backup.err;
    ProcessResult list = run({dbhost, "list", "--store", "store"});
    ASSERT_EQ(list.exit_status, 0) << list.err;
    const auto rows = lines_of(list.out);
    ASSERT_EQ(rows.size(), 2u) << list.out;
    std::istringstream row(rows[1]);
    std::string level, items, bytes, date, time, state, saveset;
    row >> level >> items >> bytes >> date >> time >> state >> saveset;
    EXPECT_EQ(level, "FULL");
    EXPECT_EQ(items, "8"); // index and data file of three users and the public store
    EXPECT_EQ(state, "complete");
    EXPECT_EQ(saveset, "full-1");
    EXPECT_TRUE(fs::exists(work / "tmp/zarafa/user0002.lst"));

    // The account is lost with its mailbox; the administrator creates it again.
    std::string fullname, email;
    for (const auto &line : lines_of(original)) {
        if (line.starts_with("fullname "))
            fullname = line.substr(9);
        if (line.starts_with("email "))
            email = line.substr(6);
    }
    ASSERT_EQ(run({"zarafa-admin", "-d", "user0002"}).exit_status, 0);
    ASSERT_EQ(run({"zarafa-admin", "-c", "user0002", "-f", fullname, "-e", email}).exit_status, 0);
    ASSERT_NE(run({"zarafa-sim", "dump", "user0002"}).out, original);

    ProcessResult restore = run({dbhost, "restore", "--plugin", plugin, "--store", "store", "--saveset", "full-1",
                                 "--into", (work / "restore").string(), "--mailbox", "user0002"});
    ASSERT_EQ(restore.exit_status, 0) << restore.out << restore.err;
    EXPECT_EQ(run({"zarafa-sim", "dump", "user0002"}).out, original);
}

// The installed nv_rexec starts with the installed libnv and runs a command
// through the ssh client on PATH (here one that runs it locally).
TEST_F(Packages, InstalledNvRexecRunsACommandThroughTheInstalledLibnv) {
    TempDir work;
    write_script(work / "bin/ssh", "for last in \"$@\"; do :; done\nexec /bin/sh -c \"$last\"\n");
    ProcessOptions options;
    options.cwd = work.path();
    options.env["PATH"] = (work / "bin").string() + ":/usr/bin:/bin";
    options.env["NV_CONFIG_DIR"] = work.path().string();
    const std::string nv_rexec = (root() / "usr/bin/nv_rexec").string();

    ProcessResult r = run_process({nv_rexec, "-L", "STDOUT", "client", "printf", "%s|", "two words", "$HOME"}, options);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "two words|$HOME|");

    ProcessResult failed = run_process({nv_rexec, "client", "false"}, options);
    EXPECT_EQ(failed.exit_status, 2) << failed.err;
}

} // namespace
} // namespace arktest
