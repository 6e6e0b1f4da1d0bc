// Naming of the export directory.
#include "export_dir.h"

#include <string_view>

#include "c_buffer.h"

namespace ark {

namespace {
std::string collapse_slashes(std::string_view path) {
    std::string out;
    for (char c : path)
        if (c != '/' || out.empty() || out.back() != '/')
            out += c;
    return out;
}
} // namespace

std::string export_dir_name(const ARKZarafa &state) {
    if (state.iBackupLevelFULL || state.iBackupLevelINCR)
        return std::string(view_of(state.cpJobName));
    std::string name(view_of(state.cpSavesetName));
    for (char &c : name)
        if (c == '/' || c == '.')
            c = '_';
    return name;
}

std::string export_dir_path(const ARKZarafa &state) {
    return collapse_slashes(std::string(view_of(state.cpTempDir)) + "/zarafa/" + export_dir_name(state));
}

namespace {
const char *name_kind(const ARKZarafa &state) {
    return (state.iBackupLevelFULL || state.iBackupLevelINCR) ? "job name" : "save-set name";
}
} // namespace

std::optional<std::string> export_dir_escape(const ARKZarafa &state) {
    const std::string name = export_dir_name(state);
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos)
            end = name.size();
        const std::string_view component(name.data() + start, end - start);
        if (component == "." || component == "..")
            return std::string("the ") + name_kind(state) + " \"" + name + "\" holds a \"" +
                   std::string(component) + "\" component";
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> export_dir_problem(const ARKZarafa &state) {
    const std::string name = export_dir_name(state);
    if (name.find_first_not_of('/') == std::string::npos)
        return std::string("the ") + name_kind(state) + " is empty";
    return export_dir_escape(state);
}

} // namespace ark
