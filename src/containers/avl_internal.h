// A look inside an AVL tree for tests: its shape and whether it keeps the
// tree's invariants.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ztbase/avl.h"

namespace ztbase::avl {

struct Shape {
    std::string fault; // the first broken invariant; empty when the tree is sound
    size_t nodes = 0;
    int height = 0;        // nodes on the longest root-to-leaf path; 0 when empty
    int shortest_leaf = 0; // nodes on the shortest path from the root to a childless node
    std::vector<void *> preorder;
};

// Walks the whole tree checking that every stored balance is in -1..+1 and
// equals the right subtree's height minus the left's, and that the items
// ascend strictly under the tree's comparison.
Shape inspect(const AVLtree *tree);

} // namespace ztbase::avl
