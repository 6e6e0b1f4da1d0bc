// The manual pages against the programs they describe: dbhost's page lists
// the same commands and options as its --help and as its parser accepts for
// each command, and nv_rexec's page names exactly the option letters and help
// arguments the tool takes. The pages are read as roff source, so no
// formatter is needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

#include "support/fixtures.h"

namespace arktest {
namespace {

using Names = std::set<std::string>;

const fs::path kDbhostPage = fs::path(ARK_SOURCE_DIR) / "standins/dbhost/dbhost.1";
const fs::path kNvRexecPage = fs::path(ARK_SOURCE_DIR) / "kernel/nv_rexec.1";

// ---- roff source to plain text ----

std::string unescape(std::string text) {
    static const std::pair<std::string, std::string> escapes[] = {
        {"\\-", "-"},  {"\\(dq", "\""}, {"\\(ga", "`"}, {"\\&", ""}, {"\\fB", ""},
        {"\\fI", ""},  {"\\fR", ""},    {"\\fP", ""},   {"\\e", "\\"},
    };
    for (const auto &[from, to] : escapes)
        for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
            text.replace(at, from.size(), to);
    return text;
}

// The arguments of a macro line, honouring double quotes.
std::vector<std::string> macro_args(const std::string &rest) {
    std::vector<std::string> args;
    std::string current;
    bool quoted = false, started = false;
    for (char c : rest) {
        if (c == '"') {
            quoted = !quoted;
            started = true;
        } else if (c == ' ' && !quoted) {
            if (started)
                args.push_back(current);
            current.clear();
            started = false;
        } else {
            current += c;
            started = true;
        }
    }
    if (started)
        args.push_back(current);
    return args;
}

// One source line as the reader sees it. Font-alternating macros (.BR, .IR,
// ...) join their arguments; .OP shows an optional option in brackets.
std::string line_text(const std::string &line) {
    if (line.empty() || line[0] != '.')
        return unescape(line);
    const auto space = line.find(' ');
    const std::string macro = line.substr(1, space == std::string::npos ? std::string::npos : space - 1);
    const std::vector<std::string> args = space == std::string::npos ? std::vector<std::string>{}
                                                                     : macro_args(line.substr(space + 1));
    std::string text;
    const bool alternating = macro.size() == 2 && std::string("BIR").find(macro[0]) != std::string::npos &&
                             std::string("BIR").find(macro[1]) != std::string::npos;
    for (const auto &arg : args)
        text += (text.empty() || alternating ? "" : " ") + arg;
    if (macro == "OP")
        text = "[" + text + "]";
    return unescape(text);
}

struct Page {
    std::string title_line;                                   // the .TH line
    std::map<std::string, std::vector<std::string>> sections; // .SH name -> source lines
};

Page read_page(const fs::path &file) {
    Page page;
    std::string section;
    for (const auto &line : lines_of(read_file(file))) {
        if (line.starts_with(".TH "))
            page.title_line = line;
        else if (line.starts_with(".SH "))
            section = line_text(line);
        else if (!section.empty())
            page.sections[section].push_back(line);
    }
    return page;
}

// The tags of the .TP items of a section, as text.
std::vector<std::string> item_tags(const std::vector<std::string> &lines) {
    std::vector<std::string> tags;
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        if (lines[i] == ".TP")
            tags.push_back(line_text(lines[i + 1]));
    return tags;
}

// The options an item tag names, each with the name of its value (empty when
// it takes none): "-h, --help" gives two, "--log FILE" one.
std::vector<std::pair<std::string, std::string>> tag_options(const std::string &tag) {
    std::vector<std::pair<std::string, std::string>> options;
    std::stringstream parts(tag);
    std::string part;
    while (std::getline(parts, part, ',')) {
        std::istringstream words(part);
        std::string option, value;
        words >> option >> value;
        options.emplace_back(option, value);
    }
    return options;
}

// The synopsis forms (.SY ... .YS), each as one line of text.
std::vector<std::string> synopsis_forms(const std::vector<std::string> &lines) {
    std::vector<std::string> forms;
    for (const auto &line : lines) {
        if (line.starts_with(".SY "))
            forms.push_back(line_text(line));
        else if (line == ".YS" || forms.empty())
            continue;
        else
            forms.back() += " " + line_text(line);
    }
    return forms;
}

// ---- words of a usage text ----

// The options a text names: words that begin with "-" (or "--") and a
// letter or "?", at the start of the text or after a blank, "[" or ",".
Names options_in(const std::string &text) {
    auto is_name_char = [](char c) { return (c >= 'a' && c <= 'z') || c == '-'; };
    Names found;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '-' || (i > 0 && std::string(" \t[,").find(text[i - 1]) == std::string::npos))
            continue;
        size_t end = i + 1;
        if (end < text.size() && text[end] == '-')
            ++end;
        if (end == text.size() || !(std::isalpha(static_cast<unsigned char>(text[end])) || text[end] == '?'))
            continue;
        ++end;
        while (end < text.size() && is_name_char(text[end]))
            ++end;
        found.insert(text.substr(i, end - i));
        i = end - 1;
    }
    return found;
}

// The command of a form "dbhost [-v] [--log FILE] backup --plugin SO ...":
// the first lower-case word outside brackets after the program name.
std::string command_of(const std::string &form) {
    std::string outside;
    int depth = 0;
    for (char c : form) {
        depth += c == '[' ? 1 : c == ']' ? -1 : 0;
        if (depth == 0 && c != ']')
            outside += c;
    }
    std::istringstream words(outside);
    std::string word;
    words >> word; // the program
    while (words >> word)
        if (std::all_of(word.begin(), word.end(), [](char c) { return c >= 'a' && c <= 'z'; }))
            return word;
    return {};
}

struct Usage {
    Names global_options;                    // of the "Usage:" line
    std::map<std::string, Names> by_command; // options of each command form
};

// --help of dbhost: the forms under "Usage:", each "  dbhost COMMAND ..."
// with its continuation lines.
Usage help_usage(const std::string &help) {
    Usage usage;
    std::string form;
    auto finish = [&] {
        if (!form.empty())
            usage.by_command[command_of(form)] = options_in(form);
        form.clear();
    };
    for (const auto &line : lines_of(help)) {
        if (line.starts_with("Usage: ")) {
            usage.global_options = options_in(line);
        } else if (line.starts_with("  dbhost ")) {
            finish();
            form = line;
        } else if (line.starts_with("         ") && !form.empty()) {
            form += line;
        } else {
            finish();
            if (line.empty() && !usage.by_command.empty())
                break;
        }
    }
    return usage;
}

// The lines of a "Heading:" block of --help, up to the next blank line.
std::vector<std::string> help_block(const std::string &help, const std::string &heading) {
    std::vector<std::string> block;
    bool inside = false;
    for (const auto &line : lines_of(help)) {
        if (line == heading)
            inside = true;
        else if (inside && line.empty())
            break;
        else if (inside)
            block.push_back(line);
    }
    return block;
}

// The option column of an "Options:" line: the text before the first run of
// two blanks after the indentation.
std::string option_column(const std::string &line) {
    const std::string body = line.substr(line.find_first_not_of(' '));
    return body.substr(0, body.find("  "));
}

Names minus(Names names, const Names &removed) {
    for (const auto &name : removed)
        names.erase(name);
    return names;
}

std::string dbhost_help() {
    ProcessResult r = run_process({std::string(ARK_BIN_DIR) + "/dbhost", "--help"});
    EXPECT_EQ(r.exit_status, 0);
    return r.out;
}

// ---- dbhost ----

TEST(DbhostManPage, NamesThePageAndTheProgram) {
    const Page page = read_page(kDbhostPage);
    EXPECT_TRUE(page.title_line.starts_with(".TH DBHOST 1 ")) << page.title_line;
    ASSERT_EQ(page.sections.count("NAME"), 1u);
    EXPECT_TRUE(line_text(page.sections.at("NAME").at(0)).starts_with("dbhost - "));
    for (const char *section : {"SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "EXIT STATUS", "EXAMPLES"})
        EXPECT_EQ(page.sections.count(section), 1u) << section;
}

TEST(DbhostManPage, SynopsisShowsEachCommandWithTheOptionsOfItsHelpForm) {
    const Page page = read_page(kDbhostPage);
    const Usage help = help_usage(dbhost_help());
    ASSERT_FALSE(help.by_command.empty());
    ASSERT_EQ(help.global_options, (Names{"-v", "-q", "--log"}));

    std::map<std::string, Names> man;
    for (const auto &form : synopsis_forms(page.sections.at("SYNOPSIS")))
        man[command_of(form)] = minus(options_in(form), help.global_options);
    std::map<std::string, Names> expected;
    for (const auto &[command, options] : help.by_command)
        expected[command] = minus(options, help.global_options);
    EXPECT_EQ(man, expected);
}

TEST(DbhostManPage, CommandsAndOptionsSectionsMatchTheHelp) {
    const Page page = read_page(kDbhostPage);
    const std::string help = dbhost_help();

    Names man_commands, help_commands;
    for (const auto &tag : item_tags(page.sections.at("COMMANDS")))
        man_commands.insert(tag);
    for (const auto &line : help_block(help, "Commands:"))
        if (line.starts_with("  ") && line[2] != ' ')
            help_commands.insert(option_column(line));
    EXPECT_EQ(man_commands, help_commands);
    Names synopsis_commands;
    for (const auto &form : synopsis_forms(page.sections.at("SYNOPSIS")))
        synopsis_commands.insert(command_of(form));
    EXPECT_EQ(man_commands, synopsis_commands);

    // Each option with the name of its value, as "--level LEVEL".
    Names man_options, help_options;
    for (const auto &tag : item_tags(page.sections.at("OPTIONS")))
        man_options.insert(tag);
    for (const auto &line : help_block(help, "Options:"))
        if (line.starts_with("  -"))
            help_options.insert(option_column(line));
    EXPECT_EQ(man_options, help_options);

    // Every option of the synopsis is explained.
    Names explained;
    for (const auto &tag : man_options)
        for (const auto &option : options_in(tag))
            explained.insert(option);
    for (const auto &form : synopsis_forms(page.sections.at("SYNOPSIS")))
        for (const auto &option : options_in(form))
            EXPECT_TRUE(explained.count(option)) << option;
}

// The parser itself agrees with the synopsis: each command takes the options
// its form shows and refuses every other command's options.
TEST(DbhostManPage, ParserAcceptsExactlyTheOptionsOfEachSynopsisForm) {
    const Page page = read_page(kDbhostPage);
    std::map<std::string, std::string> value_of; // option -> the name of its value, when it takes one
    for (const auto &tag : item_tags(page.sections.at("OPTIONS")))
        for (const auto &[option, value] : tag_options(tag))
            value_of[option] = value;
    std::map<std::string, Names> forms;
    Names every_option;
    for (const auto &form : synopsis_forms(page.sections.at("SYNOPSIS"))) {
        forms[command_of(form)] = options_in(form);
        every_option.merge(options_in(form));
    }
    ASSERT_EQ(forms.size(), 5u);
    const Names global{"-v", "-q", "--log"};

    TempDir cwd;
    for (const auto &[command, options] : forms) {
        for (const auto &option : every_option) {
            std::vector<std::string> argv{std::string(ARK_BIN_DIR) + "/dbhost", command, option};
            if (!value_of.at(option).empty())
                argv.push_back(value_of.at(option));
            ProcessResult r = run_process(argv, {.cwd = cwd.path()});
            const bool shown = options.count(option) || global.count(option);
            const bool refused = r.err.find(option + " does not apply to this command") != std::string::npos;
            EXPECT_EQ(refused, !shown) << command << " " << option << ": " << r.err;
            EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << command << " " << option << ": " << r.err;
        }
    }
}

// ---- nv_rexec ----

TEST(NvRexecManPage, NamesThePageAndTheProgram) {
    const Page page = read_page(kNvRexecPage);
    EXPECT_TRUE(page.title_line.starts_with(".TH NV_REXEC 1 ")) << page.title_line;
    ASSERT_EQ(page.sections.count("NAME"), 1u);
    // The tool's own description line.
    EXPECT_EQ(line_text(page.sections.at("NAME").at(0)), "nv_rexec - execute a command on a remote client");
    for (const char *section : {"SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES", "EXAMPLES"})
        EXPECT_EQ(page.sections.count(section), 1u) << section;
}

// The option letters of the page (items with a value) are the ones the tool
// takes without a complaint from getopt; every other letter draws one. The
// help arguments of the page each show the usage screen with status 0.
TEST(NvRexecManPage, OptionsAreExactlyTheLettersTheToolTakes) {
    const Page page = read_page(kNvRexecPage);
    Names letters;
    std::vector<std::string> help_arguments;
    for (const auto &tag : item_tags(page.sections.at("OPTIONS"))) {
        for (const auto &[option, value] : tag_options(tag)) {
            if (!value.empty())
                letters.insert(option);
            else
                help_arguments.push_back(option == "?anything" ? "?x" : option);
        }
    }
    ASSERT_EQ(letters, (Names{"-L", "-E", "-m"}));
    ASSERT_FALSE(help_arguments.empty());

    TempDir cwd;
    // An ssh that records being started: nothing here may reach it.
    write_script(cwd / "bin/ssh", "touch \"$0.ran\"\n");
    const ProcessOptions options{.cwd = cwd.path(), .env = {{"PATH", (cwd / "bin").string() + ":/usr/bin:/bin"}}};
    const std::string tool = std::string(ARK_BIN_DIR) + "/nv_rexec";
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    for (char c : alphabet) {
        const std::string option = std::string("-") + c;
        // The value is glued to the letter, so that an unknown letter cannot
        // turn it into an operand; with the one operand left the tool shows
        // its usage screen.
        ProcessResult r = run_process({tool, option + "9", "host"}, options);
        EXPECT_EQ(r.exit_status, 3) << option << r.err;
        const bool complained = r.err.find(std::string("invalid option -- '") + c + "'") != std::string::npos;
        EXPECT_EQ(complained, !letters.count(option)) << option << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(cwd / "bin/ssh.ran"));
    for (const auto &argument : help_arguments) {
        ProcessResult r = run_process({tool, argument}, options);
        EXPECT_EQ(r.exit_status, 0) << argument;
        EXPECT_NE(r.out.find(" Description:  Execute a command on a remote client"), std::string::npos) << argument;
    }
}

} // namespace
} // namespace arktest
