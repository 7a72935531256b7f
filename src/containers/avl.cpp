// AVL tree without parent pointers: insertion remembers the one node that may
// need a rotation; removal reverses the child links on its way down so that it
// can climb back without a stack.
#include "ztbase/avl.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "containers/avl_internal.h"
#include "base/log_sink.h"

struct AVLnode {
    // Left and right child. During a removal, the link on the side taken from
    // a node points back to its parent until the climb restores it.
    AVLnode *link[2];
    void *item;
    signed char balance; // right height minus left height
    unsigned char dir;   // side taken from this node by the current operation
};

struct AVLtree {
    AVLnode *root;
    AVLcompare_fn compare;
    AVLrelease_fn release;
};

namespace ztbase::avl {
namespace {

int sign(int side) {
    return side != 0 ? 1 : -1;
}

int order(const AVLtree *tree, const void *key, const void *item) {
    if (tree->compare != nullptr)
        return tree->compare(key, item);
    const auto k = reinterpret_cast<uintptr_t>(key), i = reinterpret_cast<uintptr_t>(item);
    return (k > i) - (k < i);
}

// Rebalances p, whose side `heavy` has become two levels taller than the
// other. Returns the subtree's new root; *lower tells whether the subtree is
// now one level lower than before the rotation.
AVLnode *rotate(AVLnode *p, int heavy, bool *lower) {
    const int h = heavy, l = 1 - heavy, a = sign(heavy);
    AVLnode *s = p->link[h];
    if (s->balance != -a) {
        p->link[h] = s->link[l];
        s->link[l] = p;
        if (s->balance == a) {
            p->balance = s->balance = 0;
            *lower = true;
        } else { // a level child: only after a removal, and the height holds
            p->balance = static_cast<signed char>(a);
            s->balance = static_cast<signed char>(-a);
            *lower = false;
        }
        return s;
    }
    AVLnode *x = s->link[l];
    s->link[l] = x->link[h];
    x->link[h] = s;
    p->link[h] = x->link[l];
    x->link[l] = p;
    p->balance = static_cast<signed char>(x->balance == a ? -a : 0);
    s->balance = static_cast<signed char>(x->balance == -a ? a : 0);
    x->balance = 0;
    *lower = true;
    return x;
}

// p's subtree on `side` has become one level lower.
AVLnode *after_shrink(AVLnode *p, int side, bool *lower) {
    const int a = sign(side);
    if (p->balance == a) {
        p->balance = 0;
        return p;
    }
    if (p->balance == 0) {
        p->balance = static_cast<signed char>(-a);
        *lower = false;
        return p;
    }
    return rotate(p, 1 - side, lower);
}

// Unlinks the node holding key; false when there is none. Every link reversed
// on the way down is restored on the climb, found or not.
bool unlink(AVLtree *tree, const void *key, void **removed) {
    AVLnode *up = nullptr; // cur's parent, whose link on its dir side leads further up
    AVLnode *cur = tree->root;
    auto descend = [&](int side) {
        AVLnode *next = cur->link[side];
        cur->link[side] = up;
        cur->dir = static_cast<unsigned char>(side);
        up = cur;
        cur = next;
    };
    while (cur != nullptr) {
        const int c = order(tree, key, cur->item);
        if (c == 0)
            break;
        descend(c > 0);
    }
    const bool found = cur != nullptr;
    bool lower = false;
    if (found) {
        AVLnode *target = cur;
        *removed = target->item;
        if (target->balance < 0 || target->link[1] != nullptr) {
            // Take the in-order neighbour from the heavier side; its node has
            // at most one child, which takes its place.
            const int side = target->balance < 0 ? 0 : 1;
            descend(side);
            while (cur->link[1 - side] != nullptr)
                descend(1 - side);
            AVLnode *neighbour = cur;
            target->item = neighbour->item;
            cur = neighbour->link[side];
            free(neighbour);
        } else {
            free(target);
            cur = nullptr;
        }
        lower = true;
    }
    while (up != nullptr) {
        AVLnode *p = up;
        const int side = p->dir;
        up = p->link[side];
        p->link[side] = cur;
        if (lower)
            p = after_shrink(p, side, &lower);
        cur = p;
    }
    tree->root = cur;
    return found;
}

AVLnode *first_match(AVLnode *n, AVLpredicate_fn predicate, void *arg) {
    while (n != nullptr) {
        if (predicate(n->item, arg) != 0)
            return n;
        if (AVLnode *m = first_match(n->link[0], predicate, arg))
            return m;
        n = n->link[1];
    }
    return nullptr;
}

void in_order(AVLnode *n, AVLvisit_fn visit, void *arg) {
    while (n != nullptr) {
        in_order(n->link[0], visit, arg);
        visit(n->item, arg);
        n = n->link[1];
    }
}

void free_nodes(AVLnode *n, AVLrelease_fn release) {
    if (n == nullptr)
        return;
    free_nodes(n->link[0], release);
    free_nodes(n->link[1], release);
    if (release != nullptr && n->item != nullptr)
        release(n->item);
    free(n);
}

struct Inspector {
    const AVLtree *tree;
    Shape shape;
    const void *last = nullptr;
    bool any = false;

    void fail(const std::string &why) {
        if (shape.fault.empty())
            shape.fault = why;
    }

    // Height of n's subtree; depth counts n itself.
    int walk(const AVLnode *n, int depth) {
        if (n == nullptr)
            return 0;
        ++shape.nodes;
        shape.preorder.push_back(n->item);
        if (n->link[0] == nullptr && n->link[1] == nullptr &&
            (shape.shortest_leaf == 0 || depth < shape.shortest_leaf))
            shape.shortest_leaf = depth;
        const int left = walk(n->link[0], depth + 1);
        if (any && order(tree, n->item, last) <= 0)
            fail("items out of order at node " + std::to_string(shape.nodes));
        any = true;
        last = n->item;
        const int right = walk(n->link[1], depth + 1);
        if (n->balance < -1 || n->balance > 1 || n->balance != right - left)
            fail("node with balance " + std::to_string(n->balance) + " has subtrees of height " +
                 std::to_string(left) + " and " + std::to_string(right));
        return 1 + (left > right ? left : right);
    }
};

} // namespace

Shape inspect(const AVLtree *tree) {
    Inspector inspector{tree, {}};
    if (tree != nullptr)
        inspector.shape.height = inspector.walk(tree->root, 1);
    return inspector.shape;
}

} // namespace ztbase::avl

using ztbase::avl::order;

extern "C" ZTBASE_API AVLtree *AVLopen(AVLcompare_fn compare, AVLrelease_fn release) {
    auto *tree = static_cast<AVLtree *>(malloc(sizeof(AVLtree)));
    if (tree == nullptr) {
        ztbase::logsink::logf(16, 0, __func__, "cannot allocate the tree");
        return nullptr;
    }
    *tree = AVLtree{nullptr, compare, release};
    return tree;
}

extern "C" ZTBASE_API void *AVLinsert(AVLtree *tree, void *item) {
    if (tree == nullptr || (item == nullptr && tree->release != nullptr))
        return nullptr;
    // s is the deepest leaning node on the path (or the root): below it every
    // node is level, so it is the only one that may need a rotation.
    AVLnode **s_link = &tree->root;
    AVLnode *s = tree->root;
    AVLnode *p = tree->root;
    while (p != nullptr) {
        const int c = order(tree, item, p->item);
        if (c == 0)
            return p->item;
        p->dir = static_cast<unsigned char>(c > 0);
        AVLnode *next = p->link[p->dir];
        if (next == nullptr)
            break;
        if (next->balance != 0) {
            s_link = &p->link[p->dir];
            s = next;
        }
        p = next;
    }
    auto *leaf = static_cast<AVLnode *>(calloc(1, sizeof(AVLnode)));
    if (leaf == nullptr) {
        ztbase::logsink::logf(16, 0, __func__, "cannot allocate a node");
        return nullptr;
    }
    leaf->item = item;
    if (p == nullptr) {
        tree->root = leaf;
        return item;
    }
    p->link[p->dir] = leaf;
    for (AVLnode *r = s->link[s->dir]; r != leaf; r = r->link[r->dir])
        r->balance = static_cast<signed char>(ztbase::avl::sign(r->dir));
    const int a = ztbase::avl::sign(s->dir);
    if (s->balance == 0) {
        s->balance = static_cast<signed char>(a);
    } else if (s->balance == -a) {
        s->balance = 0;
    } else {
        bool lower;
        *s_link = ztbase::avl::rotate(s, s->dir, &lower);
    }
    return item;
}

extern "C" ZTBASE_API void *AVLretrieve(AVLtree *tree, const void *key) {
    for (AVLnode *n = tree != nullptr ? tree->root : nullptr; n != nullptr;) {
        const int c = order(tree, key, n->item);
        if (c == 0)
            return n->item;
        n = n->link[c > 0];
    }
    return nullptr;
}

extern "C" ZTBASE_API void *AVLremove(AVLtree *tree, const void *key) {
    void *item = nullptr;
    if (tree != nullptr)
        ztbase::avl::unlink(tree, key, &item);
    return item;
}

extern "C" ZTBASE_API int AVLdelete(AVLtree *tree, const void *key) {
    // Found or not is told apart from the item: a tree without a release
    // function may hold a null item.
    void *item = nullptr;
    if (tree == nullptr || !ztbase::avl::unlink(tree, key, &item))
        return 0;
    if (tree->release != nullptr && item != nullptr)
        tree->release(item);
    return 1;
}

extern "C" ZTBASE_API void AVLiterate(AVLtree *tree, AVLvisit_fn visit, void *arg) {
    if (tree != nullptr && visit != nullptr)
        ztbase::avl::in_order(tree->root, visit, arg);
}

extern "C" ZTBASE_API void *AVLcull(AVLtree *tree, AVLpredicate_fn predicate, void *arg) {
    if (tree == nullptr || predicate == nullptr)
        return nullptr;
    AVLnode *match = ztbase::avl::first_match(tree->root, predicate, arg);
    return match != nullptr ? AVLremove(tree, match->item) : nullptr;
}

extern "C" ZTBASE_API void AVLclose(AVLtree *tree) {
    if (tree == nullptr)
        return;
    ztbase::avl::free_nodes(tree->root, tree->release);
    free(tree);
}
