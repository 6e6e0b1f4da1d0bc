// nv_rexec's command line. The input is the argument vector after the program
// name, its words separated by NUL bytes.
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "rexec_args.h"

namespace {

// The words of a command string made of quoted, escaped words each followed
// by a blank; false when the string is not of that form.
bool unquote(std::string_view command, std::vector<std::string> &words) {
    size_t i = 0;
    while (i < command.size()) {
        if (command[i] != '"')
            return false;
        std::string word;
        for (++i; i < command.size() && command[i] != '"'; ++i) {
            if (command[i] == '\\') {
                if (++i == command.size())
                    return false;
                const char escaped = command[i];
                if (escaped != '"' && escaped != '\\' && escaped != '$' && escaped != '`')
                    return false;
            } else if (command[i] == '$' || command[i] == '`') {
                return false;
            }
            word += command[i];
        }
        if (i + 1 >= command.size() || command[i + 1] != ' ')
            return false;
        i += 2;
        words.push_back(word);
    }
    return true;
}

bool same(const nvrexec::CommandLine &a, const nvrexec::CommandLine &b) {
    return a.action == b.action && a.error == b.error && a.host == b.host && a.out_file == b.out_file &&
           a.err_file == b.err_file && a.command == b.command;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    opterr = 0; // getopt's complaints about unknown letters are expected here
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words{"nv_rexec"};
    for (const std::string &word : fuzz::split(fuzz::as_text(data, size), '\0'))
        words.push_back(word);
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    const std::vector<std::string> original = words;

    const nvrexec::CommandLine line = nvrexec::parse_command_line(argc, argv.data());
    // The arguments are the caller's: neither changed nor reordered.
    FUZZ_CHECK(words == original);
    for (int i = 0; i < argc; ++i)
        FUZZ_CHECK(argv[static_cast<size_t>(i)] == words[static_cast<size_t>(i)].data());
    // A second parse in the same process gives the same answer.
    FUZZ_CHECK(same(line, nvrexec::parse_command_line(argc, argv.data())));

    switch (line.action) {
    case nvrexec::Action::help:
        FUZZ_CHECK(argc == 2);
        break;
    case nvrexec::Action::usage:
        break;
    case nvrexec::Action::refuse:
        FUZZ_CHECK(line.error.starts_with("Error: "));
        break;
    case nvrexec::Action::run: {
        for (const std::string *name : {&line.host, &line.out_file, &line.err_file}) {
            FUZZ_CHECK(name->size() < nvrexec::kArgBuf);
            FUZZ_CHECK(name->find('|') == std::string::npos);
        }
        FUZZ_CHECK(line.command.size() < nvrexec::kArgBuf);
        // The command carries the operands after the host, each one intact.
        std::vector<std::string> command_words;
        FUZZ_CHECK(unquote(line.command, command_words));
        FUZZ_CHECK(!command_words.empty() && command_words.size() < words.size());
        const size_t first = words.size() - command_words.size();
        FUZZ_CHECK(words[first - 1] == line.host);
        for (size_t i = 0; i < command_words.size(); ++i)
            FUZZ_CHECK(command_words[i] == words[first + i]);
        break;
    }
    }
    return 0;
}
