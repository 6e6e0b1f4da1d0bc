#include "folder_tree.h"

#include <algorithm>
#include <map>
#include <string>

namespace zsim {

std::vector<TreePosition> tree_order(const std::vector<FolderLink> &folders, std::string_view root) {
    std::map<std::string_view, std::vector<std::size_t>> children;
    for (std::size_t i = 0; i < folders.size(); ++i)
        children[folders[i].parent].push_back(i);
    for (auto &[parent, list] : children)
        std::sort(list.begin(), list.end(),
                  [&](std::size_t a, std::size_t b) { return folders[a].key < folders[b].key; });

    std::vector<TreePosition> order;
    std::vector<bool> placed(folders.size(), false);
    // Explicit stack: a deep tree in a damaged file must not exhaust the
    // call stack.
    std::vector<TreePosition> stack;
    auto push_children = [&](std::string_view parent, int depth) {
        const auto it = children.find(parent);
        if (it == children.end())
            return;
        for (auto child = it->second.rbegin(); child != it->second.rend(); ++child)
            if (!placed[*child])
                stack.push_back({*child, depth});
    };
    auto walk = [&] {
        while (!stack.empty()) {
            const TreePosition pos = stack.back();
            stack.pop_back();
            if (placed[pos.index])
                continue;
            placed[pos.index] = true;
            order.push_back(pos);
            push_children(folders[pos.index].key, pos.depth + 1);
        }
    };
    push_children(root, 1);
    walk();

    std::vector<std::size_t> rest;
    for (std::size_t i = 0; i < folders.size(); ++i)
        if (!placed[i])
            rest.push_back(i);
    std::sort(rest.begin(), rest.end(),
              [&](std::size_t a, std::size_t b) { return folders[a].key < folders[b].key; });
    for (std::size_t i : rest) {
        if (placed[i])
            continue;
        stack.push_back({i, 1});
        walk();
    }
    return order;
}

} // namespace zsim
