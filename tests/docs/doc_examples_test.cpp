// The examples of the documentation run as they stand: every fenced block
// marked "sh doc-example" in README.md and docs/*.md, in the order of its
// file, runs in one shell (set -e) from a directory whose build/ is this
// build, against the simulator. A command that no longer works, or an
// option that was renamed, fails here.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/fixtures.h"

namespace arktest {
namespace {

const fs::path kSource = ARK_SOURCE_DIR;

// The marked blocks of a markdown text, in order.
std::vector<std::string> marked_blocks(const std::string &markdown) {
    std::vector<std::string> blocks;
    std::optional<std::string> open;
    for (const std::string &line : lines_of(markdown)) {
        if (open) {
            if (line.starts_with("```")) {
                blocks.push_back(*open);
                open.reset();
            } else {
                *open += line + "\n";
            }
        } else if (line == "```sh doc-example") {
            open.emplace();
        }
    }
    return blocks;
}

// The documents that hold marked examples.
std::vector<fs::path> documents() {
    std::vector<fs::path> files{"README.md"};
    for (const auto &entry : fs::directory_iterator(kSource / "docs"))
        if (entry.path().extension() == ".md")
            files.push_back(fs::relative(entry.path(), kSource));
    std::sort(files.begin() + 1, files.end());
    std::erase_if(files, [](const fs::path &file) { return marked_blocks(read_file(kSource / file)).empty(); });
    return files;
}

TEST(DocExamples, TheFrontPageShowsABackupAndARestore) {
    const std::vector<std::string> blocks = marked_blocks(read_file(kSource / "README.md"));
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_NE(blocks[0].find("dbhost backup"), std::string::npos) << blocks[0];
    EXPECT_NE(blocks[1].find("dbhost restore"), std::string::npos) << blocks[1];
    for (const std::string &block : blocks)
        EXPECT_LE(lines_of(block).size(), 5u) << block;
}

class DocExamples : public ::testing::TestWithParam<fs::path> {};

TEST_P(DocExamples, RunAsTheyStand) {
    const std::vector<std::string> blocks = marked_blocks(read_file(kSource / GetParam()));
    // A tree whose build/ is this build, as after scripts/demo.
    TempDir top;
    fs::create_directory(top / "build");
    fs::create_directory_symlink(ARK_BIN_DIR, top / "build" / "bin");
    fs::create_directory_symlink(fs::path(ARK_PLUGIN_PATH).parent_path(), top / "build" / "lib");
    fs::create_directory_symlink(ARK_SIM_BIN_DIR, top / "build" / "simbin");
    fs::create_directory(top / "tmp");

    std::string script = "set -e\n";
    for (size_t i = 0; i < blocks.size(); ++i)
        script += blocks[i] + "echo 'example " + std::to_string(i + 1) + " ran'\n";
    ProcessOptions options;
    options.cwd = top.path();
    options.env = {{"TMPDIR", (top / "tmp").string()}};
    options.input = script;
    ProcessResult r = run_process({"sh"}, options);
    EXPECT_EQ(r.exit_status, 0) << script << "\n--- stdout\n" << r.out << "--- stderr\n" << r.err;
    EXPECT_NE(r.out.find("example " + std::to_string(blocks.size()) + " ran"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Documents, DocExamples, ::testing::ValuesIn(documents()),
                         [](const auto &info) {
                             std::string name = info.param.stem().string();
                             std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(c); }, '_');
                             return name;
                         });

} // namespace
} // namespace arktest
