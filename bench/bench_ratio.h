// Prints, after a benchmark run, the ratio of each benchmark's rate to its
// baseline's, from the same run.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zt::bench {

// Runs every registered benchmark, then prints "ratio NAME / BASELINE = R" for
// each pair (R > 1 means NAME is faster). With --benchmark_repetitions the
// medians are compared; --benchmark_enable_random_interleaving=true mixes the
// repetitions so that a change of load touches NAME and BASELINE alike.
// Returns main's exit status.
int run_and_print_ratios(int argc, char **argv,
                         const std::vector<std::pair<std::string, std::string>> &pairs);

} // namespace zt::bench
