/* An AVL tree of untyped items ordered by the caller's comparison function.
 * The tree is not locked; callers serialise access. */
#ifndef ZTBASE_AVL_H
#define ZTBASE_AVL_H

#include <ztbase/export.h>

ZTBASE_BEGIN_C

typedef struct AVLtree AVLtree;

/* Negative, zero or positive as key orders before, equal to or after item.
 * Inserting passes the new item as the key. */
typedef int (*AVLcompare_fn)(const void *key, const void *item);
typedef void (*AVLrelease_fn)(void *item);
typedef void (*AVLvisit_fn)(void *item, void *arg);
typedef int (*AVLpredicate_fn)(void *item, void *arg);

/* A new empty tree; null when memory is short. Without a comparison function
 * keys and items are compared as unsigned 64-bit values. The release function,
 * when given, is called on items that AVLdelete and AVLclose drop. */
ZTBASE_API AVLtree *AVLopen(AVLcompare_fn compare, AVLrelease_fn release);
/* Inserts item and returns it; when an equal item is already present, returns
 * that one and changes nothing. Null for a null tree, a null item in a tree
 * with a release function, or when memory is short. */
ZTBASE_API void *AVLinsert(AVLtree *tree, void *item);
/* The item equal to key, or null. */
ZTBASE_API void *AVLretrieve(AVLtree *tree, const void *key);
/* Unlinks the item equal to key and returns it without releasing it; null
 * when there is none. */
ZTBASE_API void *AVLremove(AVLtree *tree, const void *key);
/* Unlinks and releases the item equal to key: 1 when there was one, else 0. */
ZTBASE_API int AVLdelete(AVLtree *tree, const void *key);
/* Calls visit(item, arg) on every item in ascending order. visit must not
 * change the tree. */
ZTBASE_API void AVLiterate(AVLtree *tree, AVLvisit_fn visit, void *arg);
/* Removes (without releasing) and returns the first item in pre-order (a node,
 * its left subtree, then its right subtree) for which predicate(item, arg) is
 * non-zero; null when none. Call until null to remove every match. */
ZTBASE_API void *AVLcull(AVLtree *tree, AVLpredicate_fn predicate, void *arg);
/* Frees every node, children before parents, releasing each non-null item,
 * then the tree. */
ZTBASE_API void AVLclose(AVLtree *tree);

ZTBASE_END_C

#endif
