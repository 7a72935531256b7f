// Random inserts, removals and culls against std::set, with the tree's
// structure checked after every operation.
#include <cstdint>
#include <functional>
#include <random>
#include <set>
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

// Descending order: a tree that swapped key and item would come out ascending.
int descending(const void *key, const void *item) {
    const uint64_t k = value(key), i = value(item);
    return (i > k) - (i < k);
}

struct Residue {
    uint64_t modulus, rest;
    static int matches(void *i, void *arg) {
        const auto *r = static_cast<const Residue *>(arg);
        return value(i) % r->modulus == r->rest;
    }
};

class AvlAgainstSet : public testing::TestWithParam<bool> {};

TEST_P(AvlAgainstSet, EveryOperationKeepsBalanceAndOrder) {
    const bool custom_order = GetParam();
    using Model = std::set<uint64_t, std::function<bool(uint64_t, uint64_t)>>;
    for (unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::mt19937 rng(seed);
        auto below = [&](uint32_t n) {
            return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
        };
        Model model(custom_order ? Model(std::greater<uint64_t>()) : Model(std::less<uint64_t>()));
        AVLtree *tree = AVLopen(custom_order ? descending : nullptr, nullptr);
        ASSERT_NE(tree, nullptr);

        for (int op = 0; op < 6000; ++op) {
            // Phases that mostly grow then mostly shrink give many shapes.
            const bool growing = (op / 400) % 2 == 0;
            const uint64_t k = 1 + below(300); // never 0, so null means "not found"
            const uint32_t roll = below(100);
            const char *what;
            if (roll < (growing ? 60u : 25u)) {
                what = "insert";
                EXPECT_EQ(AVLinsert(tree, item(k)), item(k));
                model.insert(k);
            } else if (roll < 80) {
                what = "remove";
                const bool present = model.erase(k) == 1;
                if (below(2) == 0)
                    EXPECT_EQ(AVLremove(tree, item(k)), present ? item(k) : nullptr);
                else
                    EXPECT_EQ(AVLdelete(tree, item(k)), present ? 1 : 0);
            } else if (roll < 88) {
                what = "retrieve";
                EXPECT_EQ(AVLretrieve(tree, item(k)), model.count(k) ? item(k) : nullptr);
            } else {
                what = "cull";
                Residue r{2 + below(6), 0};
                r.rest = below(static_cast<uint32_t>(r.modulus));
                void *expected = nullptr;
                for (void *i : ztbase::avl::inspect(tree).preorder)
                    if (Residue::matches(i, &r)) {
                        expected = i;
                        break;
                    }
                EXPECT_EQ(AVLcull(tree, Residue::matches, &r), expected);
                model.erase(value(expected));
            }

            const ztbase::avl::Shape shape = ztbase::avl::inspect(tree);
            ASSERT_EQ(shape.fault, "") << "after " << what << " " << k << " (op " << op << ")";
            ASSERT_EQ(shape.nodes, model.size()) << "after " << what << " " << k;
            std::vector<uint64_t> seen;
            AVLiterate(
                tree,
                [](void *i, void *arg) {
                    static_cast<std::vector<uint64_t> *>(arg)->push_back(value(i));
                },
                &seen);
            ASSERT_EQ(seen, std::vector<uint64_t>(model.begin(), model.end()))
                << "after " << what << " " << k;
        }
        AVLclose(tree);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, AvlAgainstSet, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &p) {
                             return p.param ? "CallersDescending" : "Unsigned64";
                         });

} // namespace
