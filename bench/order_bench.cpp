// Order statistics through their table rows, each beside std::nth_element over a copy of the
// same pointer array, on several input patterns. The list is built once per benchmark; every
// iteration pays for its own pointer array, as the table functions do.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "arglist.hpp"
#include "bench_common.hpp"
#include "loader.hpp"

namespace {

using qvbench::package;

// The last three hold what makes any two correct selections differ in their bits: a NaN that
// is not a missing value after the data, or zeros of both signs at the ends of an organ pipe.
const char *const PATTERNS[] = {"random",     "sorted",    "reversed",       "all-equal",
                                "few-distinct", "organ-pipe", "sorted+NaN", "organ-pipe+NaN",
                                "organ-pipe+zeros"};
constexpr int PATTERN_COUNT = sizeof PATTERNS / sizeof PATTERNS[0];

// Random patterns come in several lists (seeds), cycled through, so that one lucky or unlucky
// sequence of pivots does not decide the figure.
int lists_of(int pattern) { return pattern == 0 || pattern == 4 ? 4 : 1; }

std::vector<double> make(int pattern, std::int64_t n, int seed) {
    std::mt19937_64 rng(42 + seed);
    std::vector<double> v(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        const double x = static_cast<double>(i);
        switch (pattern) {
        case 0: v[i] = std::uniform_real_distribution<double>(-1e6, 1e6)(rng); break;
        case 1: v[i] = x; break;
        case 2: v[i] = static_cast<double>(n - 1 - i); break;
        case 3: v[i] = 1.0; break;
        case 4: v[i] = static_cast<double>(rng() % 10); break;
        case 5:
        case 8: v[i] = static_cast<double>(std::min(i, n - 1 - i)); break;
        case 6: v[i] = x; break;
        default: v[i] = static_cast<double>(std::min(i, n - 2 - i)); break;
        }
    }
    if (pattern == 6 || pattern == 7) v[n - 1] = std::nan("");
    if (pattern == 8) v[n - 1] = -0.0;
    return v;
}

// The rank the function selects, 0-based: the median, or for SMALLEST a rank near the low end
// (its heap is meant for ranks near either end).
std::int64_t rank_of(const std::string &name, std::int64_t n) { return name == "SMALLEST" ? n / 100 : n / 2; }

struct Case {
    std::string name;
    double first;  // the rank or percentile argument; NaN when the function has none
};

void run_function(benchmark::State &state, const Case &c, int pattern) {
    const std::int64_t n = state.range(0);
    const FuncTableRow *row = package().find(c.name);
    if (row == nullptr || row->entry.list == nullptr) {
        state.SkipWithError("no entry point");
        return;
    }
    qvhost::CountingPool pool;
    std::vector<std::unique_ptr<qvhost::ArgList>> lists;
    std::vector<FuncArgList *> raw;
    for (int s = 0; s < lists_of(pattern); ++s) {
        lists.push_back(std::make_unique<qvhost::ArgList>(pool.host()));
        if (c.first == c.first) lists.back()->num(c.first > 0 ? c.first : static_cast<double>(rank_of(c.name, n) + 1));
        for (double x : make(pattern, n, s)) lists.back()->num(x);
        raw.push_back(lists.back()->get());
    }
    std::size_t next = 0;
    for (auto _ : state) {
        double result;
        benchmark::DoNotOptimize(row->entry.list(raw[next], &result));
        next = (next + 1) % raw.size();
        benchmark::DoNotOptimize(result);
        if (pool.requests().size() > 4096) pool.reset_counts();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void run_baseline(benchmark::State &state, const std::string &name, int pattern) {
    const std::int64_t n = state.range(0);
    std::vector<std::vector<double>> values;
    std::vector<std::vector<const double *>> pointers;
    for (int s = 0; s < lists_of(pattern); ++s) values.push_back(make(pattern, n, s));
    for (const auto &set : values) {
        pointers.emplace_back();
        for (const double &x : set) pointers.back().push_back(&x);
    }
    const std::int64_t r = rank_of(name, n);
    std::size_t next = 0;
    for (auto _ : state) {
        std::vector<const double *> copy(pointers[next]);
        next = (next + 1) % pointers.size();
        std::nth_element(copy.begin(), copy.begin() + r, copy.end(),
                         [](const double *a, const double *b) { return *a < *b; });
        benchmark::DoNotOptimize(*copy[r]);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

const int REGISTERED = [] {
    // A rank or percentile of 0 here stands for the rank chosen by rank_of.
    const Case cases[] = {{"MEDIAN", std::nan("")}, {"PCTL", 50.0}, {"IQR", std::nan("")}, {"MAD", std::nan("")},
                          {"ORDINAL", 0.0}, {"SMALLEST", 0.0}};
    for (int p = 0; p < PATTERN_COUNT; ++p) {
        for (const Case &c : cases) {
            benchmark::RegisterBenchmark((c.name + "/" + PATTERNS[p]).c_str(), run_function, c, p)
                ->Args({10})->Args({256})->Args({10000})->Args({1000000});
        }
        for (const char *base : {"MEDIAN", "SMALLEST"}) {
            const std::string name = std::string("nth_element@") + (base[0] == 'M' ? "n/2/" : "n/100/") + PATTERNS[p];
            benchmark::RegisterBenchmark(name.c_str(), run_baseline, std::string(base), p)
                ->Args({10})->Args({256})->Args({10000})->Args({1000000});
        }
    }
    return 0;
}();

}  // namespace
