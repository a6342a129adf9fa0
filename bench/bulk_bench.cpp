// The host library's bulk paths over 10^7 values (1% missing) beside the package's own call over a
// list laid out before the timing starts: fold/NAME (qvh_call_fold, chunks carrying the running
// result) and over/NAME (qvh_call_over of the same values again, its list kept warm) against
// table/NAME; percentiles/5 (qvh_call_percentiles at 10, 25, 50, 75, 90) against over/MEDIAN.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "arglist.hpp"
#include "qvhost.h"

namespace {

constexpr std::size_t N = 10'000'000;

const std::vector<double> &values() {
    static const std::vector<double> xs = [] {
        std::vector<double> v(N);
        std::mt19937_64 rng(1);
        std::normal_distribution<double> d;
        double dot = 0;
        qvh_missing('.', &dot);
        for (std::size_t i = 0; i < N; ++i) v[i] = i % 100 == 99 ? dot : d(rng);
        return v;
    }();
    return xs;
}

qvh_call *call_of(const char *name) {
    static qvh_package *pkg = [] {
        qvh_package *p = nullptr;
        qvh_open(nullptr, &p);
        return p;
    }();
    qvh_call *call = nullptr;
    qvh_call_new(pkg, name, &call);
    return call;
}

void run_fold(benchmark::State &state, const char *name) {
    qvh_call *call = call_of(name);
    const std::vector<double> &xs = values();
    double r = 0;
    for (auto _ : state) benchmark::DoNotOptimize(qvh_call_fold(call, xs.data(), N, sizeof(double), &r, nullptr));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(N));
    qvh_call_free(call);
}

void run_over(benchmark::State &state, const char *name) {
    qvh_call *call = call_of(name);
    const std::vector<double> &xs = values();
    double r = 0;
    for (auto _ : state) benchmark::DoNotOptimize(qvh_call_over(call, nullptr, 0, xs.data(), N, sizeof(double), &r, nullptr, nullptr));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(N));
    qvh_call_free(call);
}

// The package's own call over a list laid out once: the fastest any surface can be.
void run_table(benchmark::State &state, const char *name) {
    qvh_call *call = call_of(name);
    qvh_call_add_nums(call, values().data(), N);
    for (auto _ : state) benchmark::DoNotOptimize(qvh_call_invoke(call));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(N));
    qvh_call_free(call);
}

void run_percentiles(benchmark::State &state) {
    qvh_call *call = call_of("PCTL");
    const double ps[5] = {10, 25, 50, 75, 90};
    double r[5];
    for (auto _ : state)
        benchmark::DoNotOptimize(qvh_call_percentiles(call, ps, 5, values().data(), N, sizeof(double), r, nullptr, nullptr));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(N));
    qvh_call_free(call);
}

const int registered = [] {
    for (const char *name : {"N", "SUM", "MEAN", "MIN", "MAX", "RANGE", "VAR", "STD"}) {
        benchmark::RegisterBenchmark((std::string("table/") + name).c_str(), run_table, name)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("fold/") + name).c_str(), run_fold, name)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("over/") + name).c_str(), run_over, name)->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark("over/MEDIAN", run_over, "MEDIAN")->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("percentiles/5", run_percentiles)->Unit(benchmark::kMillisecond);
    return 0;
}();

}  // namespace
