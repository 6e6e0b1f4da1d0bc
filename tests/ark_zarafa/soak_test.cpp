// One loaded plug-in instance driven through many backup and restore
// operations against the server simulator, as a long-running backup client
// would: every operation succeeds, no memory is leaked (LeakSanitizer in the
// sanitizer build), open file descriptors and allocated memory do not grow,
// and every export leaves the working directory at "/".
// ARK_SOAK_OPERATIONS sets the number of operations (default 1000).
#include <malloc.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
// The sanitizer runtime's count of bytes in use (GCC ships no header for it).
extern "C" size_t __sanitizer_get_current_allocated_bytes(void);
#define ARK_SOAK_SANITIZED 1
#endif

namespace {

namespace fs = std::filesystem;
using arktest::CtrlVars;

int operations() {
    const char *text = std::getenv("ARK_SOAK_OPERATIONS");
    const int n = text ? std::atoi(text) : 0;
    return n > 0 ? n : 1000;
}

size_t open_descriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

size_t allocated_bytes() {
#ifdef ARK_SOAK_SANITIZED
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

std::string working_directory() {
    std::vector<char> buffer(4096);
    return getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string("?");
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(server / "store");
        const arktest::ProcessResult made =
            arktest::run_process({"zarafa-sim", "populate", "--users", "2", "--folders", "2", "--messages", "2"});
        ASSERT_EQ(made.exit_status, 0) << made.err;
    }

    // A FULL backup of user0001 and the public store; the host keeps each
    // item in the stage, as its store would.
    void backup(int round) {
        CtrlVars vars{"INFO=\"-l\" \"FULL\" \"-j\" \"soak\" \"-x\" \"^nobody$\"", "SAVESET=soak" + std::to_string(round),
                      "TMP_DIR=" + work.path().string(), "DATABASE=user0001", "DATABASE=PUBLIC_FOLDER"};
        ASSERT_EQ(ARK_FN(DB_InitOperation)(DB_TYPE_BCK, DB_LEVEL_FULL, vars.get()), DB_NUM_I_OK)
            << arktest::all_messages();
        items.clear();
        for (;;) {
            char backup_dir[256] = "", original[256] = "", name[256] = "";
            const int rc = ARK_FN(DB_GetItem)(backup_dir, original, name);
            if (rc == DB_NUM_I_COMPLETE)
                break;
            ASSERT_EQ(rc, DB_NUM_I_OK) << arktest::all_messages();
            ASSERT_EQ(working_directory(), "/") << "after exporting for " << name;
            const fs::path kept = stage / name;
            fs::create_directories(kept.parent_path());
            fs::copy_file(fs::path("/") / name, kept, fs::copy_options::overwrite_existing);
            items.push_back(name);
            ASSERT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
        }
        ASSERT_EQ(items.size(), 4u) << arktest::all_messages();
        ASSERT_EQ(ARK_FN(DB_CloseOperation)(vars.get()), DB_NUM_I_OK);
        EXPECT_EQ(working_directory(), "/");
    }

    // A full restore of what the last backup handed out, into a fresh
    // directory that the close removes again.
    void restore() {
        CtrlVars vars{"SAVESET=soak", "DATABASE=user0001", "DATABASE=PUBLIC_FOLDER"};
        ASSERT_EQ(ARK_FN(DB_InitOperation)(DB_TYPE_RST, DB_LEVEL_FULL, vars.get()), DB_NUM_I_OK)
            << arktest::all_messages();
        for (const std::string &name : items) {
            const fs::path target = into / name;
            fs::create_directories(target.parent_path());
            fs::copy_file(stage / name, target, fs::copy_options::overwrite_existing);
            std::string path = target.string();
            ASSERT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
            ASSERT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK) << arktest::all_messages();
        }
        ASSERT_EQ(ARK_FN(DB_CloseOperation)(vars.get()), DB_NUM_I_OK) << arktest::all_messages();
        ASSERT_FALSE(fs::exists(into / items.front())) << "the restore directory was not removed";
    }

    arktest::ScopedCwd cwd;
    arktest::TempDir dir;
    fs::path server = dir / "server";
    fs::path stage = dir / "stage";
    fs::path into = dir / "into";
    arktest::TempDir work;
    arktest::ScopedEnv store{"ZARAFA_SIM_STORE", (dir / "server" / "store").string()};
    arktest::ScopedEnv no_faults{"ZARAFA_SIM_FAULT", ""};
    arktest::ScopedPathPrefix tools{ARK_SIM_BIN_DIR};
    std::vector<std::string> items;
};

TEST_F(Soak, ManyOperationsInOneInstanceLeakNothing) {
    const int total = operations();
    // The first operations fill caches and pools that then stay.
    const int warm_up = std::min(total / 10, 20);
    size_t fds = 0, bytes = 0;
    for (int op = 0; op < total; ++op) {
        arktest::clear_messages();
        arktest::trace_lines().clear();
        if (op % 2 == 0) {
            ASSERT_NO_FATAL_FAILURE(backup(op)) << "operation " << op;
        } else {
            ASSERT_NO_FATAL_FAILURE(restore()) << "operation " << op;
        }
        if (op + 1 == warm_up) {
            fds = open_descriptors();
            bytes = allocated_bytes();
        }
    }
    arktest::clear_messages();
    arktest::trace_lines().clear();
    EXPECT_EQ(open_descriptors(), fds);
    const size_t now = allocated_bytes();
    // A leak of one small block per operation would exceed this.
    EXPECT_LT(now, bytes + 16 * 1024) << "allocated " << bytes << " bytes after " << warm_up << " operations, "
                                      << now << " after " << total;
    RecordProperty("operations", total);
    RecordProperty("allocated_growth_bytes", static_cast<int>(now > bytes ? now - bytes : 0));
#ifdef ARK_SOAK_SANITIZED
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer reported leaks";
#endif
}

} // namespace
