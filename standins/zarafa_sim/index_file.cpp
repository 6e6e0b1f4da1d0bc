#include "index_file.h"

#include "file_io.h"
#include "folder_tree.h"
#include "sim_error.h"
#include "text_codec.h"

#include <charconv>
#include <optional>
#include <map>

namespace zsim {

namespace {

constexpr std::string_view header_word = "zbkindex";
constexpr std::string_view format_version = "1";

bool parse_number(std::string_view text, std::uint64_t &value) {
    if (text.empty())
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool is_checksum(std::string_view text) {
    return text.size() == 16 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::string c_line(const IndexFolder &f, int depth, std::size_t messages, std::size_t subfolders) {
    return "C:folder:" + f.parent + ":" + std::to_string(depth) + ":" + std::to_string(messages) + ":" +
           std::to_string(subfolders) + ":" + f.key + ":" + encode_field(f.name) + "\n";
}

std::string m_line(const IndexMessage &m) {
    return "M:" + m.folder + ":" + std::to_string(m.generation) + ":" + std::to_string(m.offset) + ":" + m.key +
           ":" + std::to_string(m.length) + ":" + m.checksum + "\n";
}

} // namespace

std::string render_index(const IndexFile &index) {
    std::string out;
    out.append(header_word).append(":").append(format_version).append(":");
    out.append(std::to_string(index.generation)).append(":").append(index.login).append("\n");
    out.append("root:").append(index.is_public ? "public" : "user").append(":").append(index.root).append(":");
    out.append(encode_field(index.fullname)).append(":").append(encode_field(index.email)).append("\n");

    std::map<std::string_view, std::vector<const IndexMessage *>> by_folder;
    for (const IndexMessage &m : index.messages)
        by_folder[m.folder].push_back(&m);
    std::map<std::string_view, std::size_t> subfolders;
    std::vector<FolderLink> links;
    for (const IndexFolder &f : index.folders) {
        links.push_back({f.key, f.parent});
        ++subfolders[f.parent];
    }

    for (const TreePosition &pos : tree_order(links, index.root)) {
        const IndexFolder &f = index.folders[pos.index];
        auto held = by_folder.find(f.key);
        const std::size_t count = held == by_folder.end() ? 0 : held->second.size();
        const auto subs = subfolders.find(f.key);
        out += c_line(f, pos.depth, count, subs == subfolders.end() ? 0 : subs->second);
        if (held != by_folder.end()) {
            for (const IndexMessage *m : held->second)
                out += m_line(*m);
            by_folder.erase(held);
        }
    }
    // Messages whose folder has no record still belong in the index.
    for (const auto &[folder, messages] : by_folder)
        for (const IndexMessage *m : messages)
            out += m_line(*m);
    return out;
}

ParsedIndex parse_index(std::string_view text, const std::string &origin) {
    const auto lines = split_lines(text);
    ParsedIndex parsed;
    IndexFile &index = parsed.index;

    const auto header = lines.empty() ? std::vector<std::string_view>{} : split(lines[0], ':');
    if (header.size() != 4 || header[0] != header_word || header[1] != format_version ||
        !parse_number(header[2], index.generation) || header[3].empty())
        throw SimError("index file " + origin + " has no valid header line");
    index.login = std::string(header[3]);

    const auto root = lines.size() < 2 ? std::vector<std::string_view>{} : split(lines[1], ':');
    std::optional<std::string> fullname, email;
    if (root.size() == 5) {
        fullname = decode_field(root[3]);
        email = decode_field(root[4]);
    }
    if (root.size() != 5 || root[0] != "root" || (root[1] != "user" && root[1] != "public") ||
        !is_record_key(root[2]) || !fullname || !email)
        throw SimError("index file " + origin + " has no valid root line");
    index.is_public = root[1] == "public";
    index.root = std::string(root[2]);
    index.fullname = std::move(*fullname);
    index.email = std::move(*email);

    for (std::size_t i = 2; i < lines.size(); ++i) {
        const auto fields = split(lines[i], ':');
        const std::string where = "line " + std::to_string(i + 1) + " of " + origin;
        if (fields[0] == "C") {
            std::uint64_t number = 0;
            auto name = fields.size() == 8 ? decode_field(fields[7]) : std::nullopt;
            if (fields.size() != 8 || fields[1] != "folder" || !is_record_key(fields[2]) ||
                !parse_number(fields[3], number) || !parse_number(fields[4], number) ||
                !parse_number(fields[5], number) || !is_record_key(fields[6]) || !name) {
                parsed.problems.push_back(where + " is not a valid folder record");
                continue;
            }
            index.folders.push_back({std::string(fields[6]), std::string(fields[2]), std::move(*name)});
        } else if (fields[0] == "M") {
            IndexMessage m;
            if (fields.size() != 7 || !is_record_key(fields[1]) || !parse_number(fields[2], m.generation) ||
                !parse_number(fields[3], m.offset) || !is_record_key(fields[4]) ||
                !parse_number(fields[5], m.length) || !is_checksum(fields[6])) {
                parsed.problems.push_back(where + " is not a valid message record");
                continue;
            }
            m.folder = std::string(fields[1]);
            m.key = std::string(fields[4]);
            m.checksum = std::string(fields[6]);
            index.messages.push_back(std::move(m));
        } else {
            parsed.problems.push_back(where + " is not a record");
        }
    }
    return parsed;
}

} // namespace zsim
