// The AVL tree against std::map and glibc's tsearch: a million random 64-bit
// keys inserted, looked up in another order, then removed.
#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <search.h>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "ztbase/avl.h"

namespace {

constexpr size_t kKeys = 1'000'000;

struct Keys {
    std::vector<uint64_t> insert, lookup;
    Keys() : insert(kKeys) {
        std::mt19937_64 rng(0x5eed);
        for (uint64_t &k : insert)
            k = rng();
        lookup = insert;
        std::shuffle(lookup.begin(), lookup.end(), rng);
    }
};

const Keys &keys() {
    static const Keys k;
    return k;
}

void *as_item(uint64_t k) {
    return reinterpret_cast<void *>(k);
}

int compare_u64(const void *a, const void *b) {
    const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return (x > y) - (x < y);
}

void finish(benchmark::State &state, size_t found) {
    if (found != kKeys)
        state.SkipWithError("lookups missed keys");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 3 * kKeys));
}

void run_avl(benchmark::State &state, AVLcompare_fn compare) {
    const Keys &k = keys();
    size_t found = 0;
    for (auto _ : state) {
        AVLtree *tree = AVLopen(compare, nullptr);
        for (uint64_t key : k.insert)
            AVLinsert(tree, as_item(key));
        found = 0;
        for (uint64_t key : k.lookup)
            found += AVLretrieve(tree, as_item(key)) != nullptr;
        for (uint64_t key : k.lookup)
            AVLremove(tree, as_item(key));
        AVLclose(tree);
    }
    finish(state, found);
}

void BM_avl(benchmark::State &state) {
    run_avl(state, nullptr);
}
void BM_avl_compare_fn(benchmark::State &state) {
    run_avl(state, compare_u64);
}

void BM_std_map(benchmark::State &state) {
    const Keys &k = keys();
    size_t found = 0;
    for (auto _ : state) {
        std::map<uint64_t, void *> tree;
        for (uint64_t key : k.insert)
            tree.emplace(key, as_item(key));
        found = 0;
        for (uint64_t key : k.lookup)
            found += tree.find(key) != tree.end();
        for (uint64_t key : k.lookup)
            tree.erase(key);
    }
    finish(state, found);
}

void BM_tsearch(benchmark::State &state) {
    const Keys &k = keys();
    size_t found = 0;
    for (auto _ : state) {
        void *root = nullptr;
        for (uint64_t key : k.insert)
            tsearch(as_item(key), &root, compare_u64);
        found = 0;
        for (uint64_t key : k.lookup)
            found += tfind(as_item(key), &root, compare_u64) != nullptr;
        for (uint64_t key : k.lookup)
            tdelete(as_item(key), &root, compare_u64);
    }
    finish(state, found);
}

BENCHMARK(BM_avl)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_avl_compare_fn)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_std_map)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_tsearch)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(
        argc, argv,
        {{"BM_avl", "BM_std_map"}, {"BM_avl", "BM_tsearch"}, {"BM_avl_compare_fn", "BM_tsearch"}});
}
