// An independent reading of the index-file format, to compare the plug-in
// against: the record key of a line is field 5 of a line holding "M:", else
// field 7 of a line holding "C:"; runs of ":" separate fields, a further field
// must follow the key, and a key over 99 characters is refused.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

enum class ModelKey { none, found, too_long };

struct ModelResult {
    ModelKey status = ModelKey::none;
    std::string key;
};

inline ModelResult model_index_key(std::string_view raw) {
    // What C code sees of the line: its characters before the first NUL.
    std::string line;
    for (char c : raw) {
        if (c == '\0')
            break;
        line += c;
    }
    // A message line ("M:" anywhere, even in a folder line) keys by its
    // fifth field, a folder line by its seventh.
    const bool message = line.find("M:") != std::string::npos;
    const bool folder = line.find("C:") != std::string::npos;
    if (!message && !folder)
        return {};
    const size_t wanted = message ? 5 : 7;
    std::vector<std::string> fields;
    std::string current;
    for (char c : line) {
        if (c != ':') {
            current += c;
        } else if (!current.empty()) {
            fields.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        fields.push_back(current);
    if (fields.size() <= wanted)
        return {};
    ModelResult result{ModelKey::found, fields[wanted - 1]};
    if (result.key.size() > 99)
        result.status = ModelKey::too_long;
    return result;
}

// The lines of a file as a line-oriented reader yields them: each with its
// newline, a last line without one.
inline std::vector<std::string_view> model_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string_view::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

} // namespace fuzz
