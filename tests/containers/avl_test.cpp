#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "containers/avl_internal.h"
#include "ztbase/avl.h"

namespace {

void *item(uint64_t k) {
    return reinterpret_cast<void *>(k);
}
uint64_t value(const void *p) {
    return reinterpret_cast<uintptr_t>(p);
}

std::vector<uint64_t> in_order(AVLtree *tree) {
    std::vector<uint64_t> out;
    AVLiterate(
        tree,
        [](void *i, void *arg) { static_cast<std::vector<uint64_t> *>(arg)->push_back(value(i)); },
        &out);
    return out;
}

AVLtree *ascending(int n, AVLrelease_fn release = nullptr) {
    AVLtree *tree = AVLopen(nullptr, release);
    for (int k = 1; k <= n; ++k)
        EXPECT_EQ(AVLinsert(tree, item(k)), item(k));
    return tree;
}

struct Record {
    int key;
    int tag;
};

int by_key(const void *key, const void *item) {
    return static_cast<const Record *>(key)->key - static_cast<const Record *>(item)->key;
}

TEST(Avl, EqualItemsResolveToTheStoredOne) {
    Record first{7, 1}, second{7, 2}, probe{7, 0}, other{3, 0};
    AVLtree *tree = AVLopen(by_key, nullptr);
    EXPECT_EQ(AVLinsert(tree, &first), &first);
    EXPECT_EQ(AVLinsert(tree, &other), &other);
    EXPECT_EQ(AVLinsert(tree, &second), &first) << "an equal item is not replaced";
    EXPECT_EQ(AVLretrieve(tree, &probe), &first);
    EXPECT_EQ(AVLremove(tree, &probe), &first) << "the stored item, not the key";
    EXPECT_EQ(AVLretrieve(tree, &probe), nullptr);
    EXPECT_EQ(AVLremove(tree, &probe), nullptr);
    EXPECT_EQ(AVLretrieve(tree, &other), &other);
    AVLclose(tree);
}

TEST(Avl, AscendingInsertsStayBalanced) {
    AVLtree *tree = ascending(1000);
    const ztbase::avl::Shape shape = ztbase::avl::inspect(tree);
    EXPECT_EQ(shape.fault, "");
    EXPECT_EQ(shape.nodes, 1000u);
    EXPECT_LE(shape.height - shape.shortest_leaf, 1) << "every root-to-leaf path within one";
    std::vector<uint64_t> expected;
    for (uint64_t k = 1; k <= 1000; ++k)
        expected.push_back(k);
    EXPECT_EQ(in_order(tree), expected);
    AVLclose(tree);
}

TEST(Avl, WithoutComparisonItemsOrderAsUnsigned64) {
    AVLtree *tree = AVLopen(nullptr, nullptr);
    const uint64_t keys[] = {UINT64_MAX, 1, uint64_t{1} << 63, INT64_MAX, 0};
    for (uint64_t k : keys)
        AVLinsert(tree, item(k));
    EXPECT_EQ(in_order(tree),
              (std::vector<uint64_t>{0, 1, INT64_MAX, uint64_t{1} << 63, UINT64_MAX}));
    // A null item is an ordinary key here, and deleting it is a success.
    EXPECT_EQ(ztbase::avl::inspect(tree).nodes, 5u);
    EXPECT_EQ(AVLdelete(tree, item(0)), 1);
    EXPECT_EQ(AVLdelete(tree, item(0)), 0);
    EXPECT_EQ(ztbase::avl::inspect(tree).nodes, 4u);
    AVLclose(tree);
}

int above_four(void *i, void *) {
    return value(i) > 4;
}

TEST(Avl, CullTakesTheFirstMatchInPreOrder) {
    // 1..7 ascending builds the perfect tree 4 (2 (1 3)) (6 (5 7)): in order
    // the first item above four is 5, in pre-order it is 6.
    AVLtree *tree = ascending(7);
    EXPECT_EQ(ztbase::avl::inspect(tree).preorder,
              (std::vector<void *>{item(4), item(2), item(1), item(3), item(6), item(5), item(7)}));
    std::vector<uint64_t> culled;
    while (void *i = AVLcull(tree, above_four, nullptr))
        culled.push_back(value(i));
    // Removing the level node 6 moves its successor 7 up, so 7 comes before 5.
    EXPECT_EQ(culled, (std::vector<uint64_t>{6, 7, 5}));
    EXPECT_EQ(in_order(tree), (std::vector<uint64_t>{1, 2, 3, 4}));
    EXPECT_EQ(ztbase::avl::inspect(tree).fault, "");
    EXPECT_EQ(AVLcull(tree, nullptr, nullptr), nullptr);
    AVLclose(tree);
}

std::vector<uint64_t> released;
void record_release(void *i) {
    released.push_back(value(i));
}

TEST(Avl, ReleaseOnlyOnDeleteAndCloseChildrenFirst) {
    released.clear();
    AVLtree *tree = ascending(7, record_release);
    EXPECT_EQ(AVLinsert(tree, nullptr), nullptr) << "a null item cannot be released";
    EXPECT_EQ(AVLremove(tree, item(3)), item(3));
    EXPECT_TRUE(released.empty()) << "AVLremove hands the item back unreleased";
    EXPECT_EQ(AVLdelete(tree, item(5)), 1);
    EXPECT_EQ(AVLdelete(tree, item(5)), 0);
    EXPECT_EQ(released, std::vector<uint64_t>{5});
    // Left now: 4 (2 (1 -)) (6 (- 7)).
    AVLclose(tree);
    EXPECT_EQ(released, (std::vector<uint64_t>{5, 1, 2, 7, 6, 4}));
}

TEST(Avl, NullTreeAndCallbacksAreHarmless) {
    EXPECT_EQ(AVLinsert(nullptr, item(1)), nullptr);
    EXPECT_EQ(AVLretrieve(nullptr, item(1)), nullptr);
    EXPECT_EQ(AVLremove(nullptr, item(1)), nullptr);
    EXPECT_EQ(AVLdelete(nullptr, item(1)), 0);
    EXPECT_EQ(AVLcull(nullptr, above_four, nullptr), nullptr);
    AVLiterate(
        nullptr, [](void *, void *) { FAIL(); }, nullptr);
    AVLclose(nullptr);

    AVLtree *tree = ascending(3);
    AVLiterate(tree, nullptr, nullptr);
    EXPECT_EQ(in_order(tree), (std::vector<uint64_t>{1, 2, 3}));
    AVLclose(tree);

    AVLtree *empty = AVLopen(nullptr, nullptr);
    EXPECT_EQ(AVLremove(empty, item(1)), nullptr);
    EXPECT_EQ(AVLcull(empty, above_four, nullptr), nullptr);
    AVLclose(empty);
}

} // namespace
