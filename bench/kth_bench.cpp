// SMALLEST and LARGEST through their table rows at ranks n/10 and n/100, beside
// std::nth_element over a copy of a pointer array to the same values (the pointer copy is part
// of the baseline's time, as the package pays for its own reading of the slots). Compare
// SMALLEST/<pattern>/<rank>/n with nth_element/<pattern>/<rank>/n.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "arglist.hpp"
#include "bench_common.hpp"
#include "loader.hpp"

namespace {

using qvbench::package;

const char *const PATTERNS[] = {"random", "sorted", "reversed", "few-distinct"};

std::vector<double> make(int pattern, std::int64_t n) {
    std::mt19937_64 rng(42);
    std::vector<double> v(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
        switch (pattern) {
        case 0: v[i] = std::uniform_real_distribution<double>(-1e6, 1e6)(rng); break;
        case 1: v[i] = static_cast<double>(i); break;
        case 2: v[i] = static_cast<double>(n - 1 - i); break;
        default: v[i] = static_cast<double>(rng() % 10); break;
        }
    }
    return v;
}

// The rank argument: n / divisor, at least 1.
std::int64_t rank_of(std::int64_t n, int divisor) { return std::max<std::int64_t>(1, n / divisor); }

void run_function(benchmark::State &state, const std::string &name, int pattern, int divisor) {
    const std::int64_t n = state.range(0);
    const FuncTableRow *row = qvbench::row_or_skip(state, name.c_str());
    if (row == nullptr) return;
    qvhost::CountingPool pool;
    qvhost::ArgList list(pool.host());
    list.num(static_cast<double>(rank_of(n, divisor)));
    for (double x : make(pattern, n)) list.num(x);
    FuncArgList *raw = list.get();
    for (auto _ : state) {
        double result;
        benchmark::DoNotOptimize(row->entry.list(raw, &result));
        benchmark::DoNotOptimize(result);
        if (pool.requests().size() > 4096) pool.reset_counts();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The k-th smallest (or k-th largest, as rank n - k) by std::nth_element on a pointer copy.
void run_baseline(benchmark::State &state, bool largest, int pattern, int divisor) {
    const std::int64_t n = state.range(0);
    const std::vector<double> values = make(pattern, n);
    std::vector<const double *> pointers;
    for (const double &x : values) pointers.push_back(&x);
    const std::int64_t k = rank_of(n, divisor);
    const std::int64_t r = largest ? n - k : k - 1;
    for (auto _ : state) {
        std::vector<const double *> copy(pointers);
        std::nth_element(copy.begin(), copy.begin() + r, copy.end(),
                         [](const double *a, const double *b) { return *a < *b; });
        benchmark::DoNotOptimize(*copy[r]);
    }
    state.SetItemsProcessed(state.iterations() * n);
}

const int REGISTERED = [] {
    for (int divisor : {10, 100}) {
        for (int p = 0; p < 4; ++p) {
            const std::string tail = std::string("/") + PATTERNS[p] + "/n:" + std::to_string(divisor);
            for (const char *name : {"SMALLEST", "LARGEST"}) {
                benchmark::RegisterBenchmark((name + tail).c_str(), run_function, std::string(name), p, divisor)
                    ->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
                benchmark::RegisterBenchmark((std::string("nth_element/") + name + tail).c_str(), run_baseline,
                                             name[0] == 'L', p, divisor)
                    ->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);
            }
        }
    }
    return 0;
}();

}  // namespace
