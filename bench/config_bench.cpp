// The item table: label lookups against a hash map of upper-cased labels, and
// formatting plus re-reading the whole defaults record.
#include <algorithm>
#include <cctype>
#include <string>
#include <unordered_map>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_ratio.h"
#include "config/items/adhoc_config_ops.h"
#include "ztbase/config.h"
#include "ztbase/debuglog.h"

namespace {

using namespace ztbase::config;

// Labels spread over the whole table: canonical, lower-case and alternative
// spellings, and a few unknown names.
const std::vector<std::string> &labels() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> v;
        for (int i = 0; i < ZTCONFIG_TABLE_SIZE; i += 3) {
            std::string l = kRows[i].label;
            v.push_back(l);
            std::transform(l.begin(), l.end(), l.begin(), ::tolower);
            v.push_back(l);
            if (kRows[i].alt_labels != nullptr)
                v.push_back(kRows[i].alt_labels[0]);
        }
        v.push_back("NO_SUCH_ITEM");
        v.push_back("verbose_level");
        return v;
    }();
    return all;
}

void BM_getConfigIndexA(benchmark::State &state) {
    const auto &ls = labels();
    for (auto _ : state)
        for (const std::string &l : ls)
            benchmark::DoNotOptimize(getConfigIndexA(l.c_str()));
    state.SetItemsProcessed(int64_t(state.iterations() * ls.size()));
}
BENCHMARK(BM_getConfigIndexA);

void BM_UnorderedMapUpper(benchmark::State &state) {
    std::unordered_map<std::string, int> map;
    for (int i = ZTCONFIG_TABLE_SIZE - 1; i >= 0; --i) { // earlier rows win
        auto upper = [](std::string s) {
            std::transform(s.begin(), s.end(), s.begin(), ::toupper);
            return s;
        };
        map[upper(kRows[i].label)] = i;
        if (kRows[i].alt_labels != nullptr)
            map[upper(kRows[i].alt_labels[0])] = i;
    }
    const auto &ls = labels();
    for (auto _ : state)
        for (const std::string &l : ls) {
            std::string key = l;
            std::transform(key.begin(), key.end(), key.begin(), ::toupper);
            auto it = map.find(key);
            benchmark::DoNotOptimize(it == map.end() ? -1 : it->second);
        }
    state.SetItemsProcessed(int64_t(state.iterations() * ls.size()));
}
BENCHMARK(BM_UnorderedMapUpper);

// Formats each item of the defaults record and reads it into a fresh record.
void BM_FormatAndReread(benchmark::State &state) {
    static c_shim_logging_fn quiet = [](int, int, const char *, const char *) { return 0; };
    c_shim_mod_logging = &quiet;
    const ZtConfig &defs = defaults();
    std::string text;
    int64_t items = 0;
    for (auto _ : state) {
        ZtConfig fresh{};
        for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i) {
            if (live_row(i) == nullptr)
                continue;
            text.clear();
            format_item(i, &defs, text);
            size_t pos = 0;
            do { // one piece per line of a multi-line item
                size_t nul = text.find('\0', pos);
                std::string piece =
                    text.substr(pos, nul == std::string::npos ? std::string::npos : nul - pos);
                if (!piece.empty()) {
                    char *cursor = piece.data();
                    read_item(i, &cursor, &fresh, 1);
                }
                pos = nul == std::string::npos ? text.size() : nul + 1;
            } while (pos < text.size());
            ++items;
        }
        for (int i = 0; i < ZTCONFIG_TABLE_SIZE; ++i)
            free_item(i, &fresh);
    }
    state.SetItemsProcessed(items);
    c_shim_mod_logging = nullptr;
}
BENCHMARK(BM_FormatAndReread);

} // namespace

int main(int argc, char **argv) {
    return zt::bench::run_and_print_ratios(argc, argv,
                                           {{"BM_getConfigIndexA", "BM_UnorderedMapUpper"}});
}
