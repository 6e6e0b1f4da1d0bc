#include "support/dbhost_scene.h"

#include <fstream>
#include <sstream>

namespace arktest {

DbhostScene::DbhostScene() { fs::create_directories(source()); }

std::string DbhostScene::item_of(const fs::path &path) { return path.string().substr(1); }

std::string DbhostScene::add_source(const std::string &relative, const std::string &content) {
    write_file(source() / relative, content);
    return item_of(source() / relative);
}

fs::path DbhostScene::plugin(const std::string &variant) { return fs::path(ARK_LIB_DIR) / (variant + ".so"); }

ProcessResult DbhostScene::run(const std::vector<std::string> &args,
                               const std::map<std::string, std::string> &env) const {
    std::vector<std::string> argv{std::string(ARK_BIN_DIR) + "/dbhost"};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.cwd = dir();
    options.env = {{"DBHOST_TEST_SOURCE", source().string()}, {"DBHOST_TEST_RECORD", record().string()}};
    for (const auto &[k, v] : env)
        options.env[k] = v;
    return run_process(argv, options);
}

ProcessResult DbhostScene::backup(const std::string &saveset, std::vector<std::string> extra,
                                  const std::map<std::string, std::string> &env) const {
    std::vector<std::string> args{"backup", "--plugin", plugin().string(), "--store", store().string(),
                                  "--saveset", saveset};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, env);
}

ProcessResult DbhostScene::restore(const std::string &saveset, std::vector<std::string> extra,
                                   const std::map<std::string, std::string> &env) const {
    std::vector<std::string> args{"restore", "--plugin", plugin().string(), "--store", store().string(),
                                  "--saveset", saveset, "--into", into().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, env);
}

namespace {
std::string percent_decoded(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> record_lines(const fs::path &file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}
} // namespace

std::vector<std::string> DbhostScene::calls() const {
    std::vector<std::string> out;
    for (auto &line : record_lines(record()))
        if (!line.starts_with("var "))
            out.push_back(line);
    return out;
}

std::vector<std::string> DbhostScene::vars_after(const std::string &entry) const {
    std::vector<std::string> out;
    bool inside = false;
    for (auto &line : record_lines(record())) {
        if (inside && line.starts_with("var "))
            out.push_back(line.substr(4));
        else if (inside)
            break;
        else if (line.starts_with(entry))
            inside = true;
    }
    return out;
}

void DbhostScene::clear_record() const { fs::remove(record()); }

std::vector<StoredItem> DbhostScene::manifest_items(const fs::path &saveset_dir) {
    std::vector<StoredItem> items;
    for (auto &line : record_lines(saveset_dir / "manifest")) {
        if (!line.starts_with("item\t"))
            continue;
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        if (f.size() == 6)
            items.push_back({percent_decoded(f[5]), std::stoull(f[1]), f[2], f[3]});
    }
    return items;
}

std::string lines(const std::vector<std::string> &items) {
    std::string out;
    for (const auto &item : items)
        out += item + "\n";
    return out;
}

} // namespace arktest
