// The host library as an engine, each figure beside its peer in the same run:
// - the package's own call over an argument list built once (N, MEAN, MEDIAN at 10^6 and 10^7
//   values), beside the same call through qvh_call_over, and std::nth_element / a plain loop;
// - moving MEDIAN over 10^6 values (windows 101 and 1001) through qvh_moving, beside one call per
//   window over the window's values (the way without the engine), and the package's own call per
//   window over a list laid out per row, per row;
// - moving MEAN and STD over 10^6 values (windows 11, 101 and 1001) through qvh_moving, the sums
//   taken in vector lanes (each kernel the machine has: sse2, avx2, avx512) and one call per window
//   (calls), beside the package's own calls, one per window, over an argument list laid out per
//   window from C++, and a running sum in C, O(1) a row (the way of bottleneck's move_mean, whose
//   result is not the package's).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "arglist.hpp"
#include "bench_common.hpp"
#include "memory.hpp"
#include "qvhost.h"
#include "sumwindows.hpp"

namespace {

// The first n values of QV_BENCH_VALUES (a file of doubles in this machine's byte order, which a
// surface's bench writes so that both sides time the same values), else uniform on (-1e6, 1e6).
const std::vector<double> &data(std::size_t n) {
    static std::vector<double> v;
    if (v.size() < n) {
        v.resize(n);
        if (const char *path = std::getenv("QV_BENCH_VALUES"); path != nullptr && *path != '\0') {
            std::FILE *f = std::fopen(path, "rb");
            if (f == nullptr || std::fread(v.data(), sizeof(double), n, f) != n) {
                std::fprintf(stderr, "engine_bench: %s does not hold %zu doubles\n", path, n);
                std::exit(2);
            }
            std::fclose(f);
        } else {
            std::mt19937_64 rng(1);
            std::uniform_real_distribution<double> u(-1e6, 1e6);
            for (double &x : v) x = u(rng);
        }
    }
    return v;
}

qvh_package *host() {
    static qvh_package *p = [] {
        qvh_package *pkg = nullptr;
        qvh_open(nullptr, &pkg);
        return pkg;
    }();
    return p;
}

// The package's call over an argument list laid out once: what every surface is measured against.
void BM_package_call(benchmark::State &state, const char *name) {
    const FuncTableRow *row = qvbench::row_or_skip(state, name);
    if (row == nullptr) return;
    const auto n = static_cast<std::size_t>(state.range(0));
    qvhost::MemoryPool pool{qvhost::Memory()};
    qvhost::ArgList args(pool.host());
    args.nums(data(n).data(), n, [](double x) { return x; });
    FuncArgList *raw = args.get();
    double r = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(row->entry.list(raw, &r));
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

// The same through the host library's one strided path, warm.
void BM_call_over(benchmark::State &state, const char *name) {
    const auto n = static_cast<std::size_t>(state.range(0));
    qvh_call *call = nullptr;
    qvh_call_new(host(), name, &call);
    double r = 0;
    for (auto _ : state) {
        qvh_call_over(call, nullptr, 0, data(n).data(), n, 8, &r, nullptr, nullptr);
        benchmark::DoNotOptimize(r);
    }
    qvh_call_free(call);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

void BM_peer_nth_element(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    std::vector<double> copy(n);
    for (auto _ : state) {
        std::copy_n(data(n).begin(), n, copy.begin());
        std::nth_element(copy.begin(), copy.begin() + n / 2, copy.end());
        benchmark::DoNotOptimize(copy[n / 2]);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

void BM_peer_loop_mean(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        double s = 0;
        for (std::size_t i = 0; i < n; ++i) s += data(n)[i];
        benchmark::DoNotOptimize(s / static_cast<double>(n));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

constexpr std::size_t ROWS = 1000000;

// A random walk: values that drift, as a price series does, so the window's order changes at
// its ends more than in its middle.
const std::vector<double> &walk(std::size_t n) {
    static std::vector<double> v;
    if (v.size() < n) {
        std::mt19937_64 rng(2);
        std::normal_distribution<double> step;
        double x = 0.5;
        v.resize(n);
        for (double &y : v) y = x += step(rng);
    }
    return v;
}

// A moving statistic over 10^6 values through the engine (uniform, or a random walk); items are rows.
void BM_moving(benchmark::State &state, const char *name, bool drifting) {
    const auto w = static_cast<std::size_t>(state.range(0));
    qvh_call *call = nullptr;
    qvh_call_new(host(), name, &call);
    std::vector<double> out(ROWS);
    const qvh_window frame{QVH_WINDOW_TRAILING, w, 1};
    const double *xs = drifting ? walk(ROWS).data() : data(ROWS).data();
    for (auto _ : state) {
        qvh_moving(call, nullptr, 0, xs, ROWS, 8, &frame, nullptr, 0, out.data(), 8, nullptr, nullptr);
        benchmark::DoNotOptimize(out.data());
    }
    qvh_call_free(call);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(ROWS));
}

// A moving sum statistic through the engine with the sums' kernels limited (sum_windows_limit:
// 0 one call per window, 1 SSE2, 2 AVX2, 3 AVX-512); items are rows.
void BM_moving_sums(benchmark::State &state, const char *name, int limit) {
    qvhost::sum_windows_limit = limit;
    BM_moving(state, name, false);
    qvhost::sum_windows_limit = 3;
}

// The running mean of a trailing window in C: the sum of the window kept by adding the value that
// comes and subtracting the one that goes, O(1) a row; its rounding drifts from the package's.
void BM_peer_running_mean(benchmark::State &state) {
    const auto w = static_cast<std::size_t>(state.range(0));
    const double *xs = data(ROWS).data();
    std::vector<double> out(ROWS);
    for (auto _ : state) {
        double s = 0.0;
        for (std::size_t i = 0; i < ROWS; ++i) {
            s += xs[i];
            if (i >= w) s -= xs[i - w];
            out[i] = s / static_cast<double>(i < w ? i + 1 : w);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(ROWS));
}

// One qvh_call_over per window, the way without the engine, over the first rows only (items are
// rows, so the rate compares with BM_moving's).
void BM_per_window_call(benchmark::State &state, const char *name) {
    const auto w = static_cast<std::size_t>(state.range(0));
    const std::size_t rows = w > 500 ? 20000 : 100000;
    qvh_call *call = nullptr;
    qvh_call_new(host(), name, &call);
    const double *xs = data(ROWS).data();
    double r = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t lo = i + 1 > w ? i + 1 - w : 0;
            qvh_call_over(call, nullptr, 0, xs + lo, i + 1 - lo, 8, &r, nullptr, nullptr);
            benchmark::DoNotOptimize(r);
        }
    }
    qvh_call_free(call);
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}

// The package's own call per window from C++: an argument list of the window laid out for each row.
void BM_package_per_window(benchmark::State &state, const char *name) {
    const FuncTableRow *row = qvbench::row_or_skip(state, name);
    if (row == nullptr) return;
    const auto w = static_cast<std::size_t>(state.range(0));
    const std::size_t rows = w > 500 ? 100000 : ROWS;
    qvhost::MemoryPool pool{qvhost::Memory()};
    qvhost::ArgList args(pool.host());
    args.reserve(w);
    const double *xs = data(ROWS).data();
    double r = 0;
    for (auto _ : state) {
        for (std::size_t i = 0; i < rows; ++i) {
            const std::size_t lo = i + 1 > w ? i + 1 - w : 0;
            args.clear();
            args.nums(xs + lo, i + 1 - lo, [](double x) { return x; });
            benchmark::DoNotOptimize(row->entry.list(args.get(), &r));
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(rows));
}

}  // namespace

BENCHMARK_CAPTURE(BM_package_call, n, "N")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_call_over, n, "N")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_package_call, mean, "MEAN")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_call_over, mean, "MEAN")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_peer_loop_mean)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_package_call, median, "MEDIAN")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_call_over, median, "MEDIAN")->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_peer_nth_element)->Arg(1000000)->Arg(10000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_moving, median, "MEDIAN", false)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_moving, median_walk, "MEDIAN", true)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_per_window_call, median, "MEDIAN")->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);
#define QV_MOVING_SUMS(stat, name)                                                                               \
    BENCHMARK_CAPTURE(BM_moving_sums, stat##_avx512, name, 3)->Arg(11)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond); \
    BENCHMARK_CAPTURE(BM_moving_sums, stat##_avx2, name, 2)->Arg(11)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);   \
    BENCHMARK_CAPTURE(BM_moving_sums, stat##_sse2, name, 1)->Arg(11)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);   \
    BENCHMARK_CAPTURE(BM_moving_sums, stat##_calls, name, 0)->Arg(11)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);  \
    BENCHMARK_CAPTURE(BM_package_per_window, stat, name)->Arg(11)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond)
QV_MOVING_SUMS(mean, "MEAN");
QV_MOVING_SUMS(std, "STD");
BENCHMARK_CAPTURE(BM_package_per_window, median, "MEDIAN")->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_peer_running_mean)->Arg(11)->Arg(101)->Arg(1001)->Unit(benchmark::kMillisecond);
