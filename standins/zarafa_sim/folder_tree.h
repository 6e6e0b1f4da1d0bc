// Walk order of a folder tree given as (key, parent) pairs: the order in
// which listings and export files present folders.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace zsim {

struct FolderLink {
    std::string_view key;
    std::string_view parent;
};

struct TreePosition {
    std::size_t index; // into the caller's vector
    int depth;         // 1 for a folder directly below the root
};

// Depth first from the root, parents before children, siblings by key.
// Folders that the root does not reach (a lost parent, a cycle in a damaged
// file) follow at the end, each lost subtree from its smallest key at depth
// 1, so nothing is left out.
std::vector<TreePosition> tree_order(const std::vector<FolderLink> &folders, std::string_view root);

} // namespace zsim
