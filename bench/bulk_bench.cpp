// The package's own call loop from C for every family of the benchmark matrix, and the host
// library's bulk paths beside it, over one set of values: those of the file QV_BENCH_VALUES (doubles
// in this machine's byte order, missing values as the package's missing bits; its group keys, int32
// from 0 to 999, in QV_BENCH_KEYS), else 10^7 normal values with 1% missing and random keys.
// - loop/NAME: the package's scalar entry over the array, each result stored (ROUND: the list form
//   to a unit of 0.01);
// - table/NAME: the package's call over a list laid out before the timing starts; table/PCTL5 five
//   such calls of PCTL (5, 25, 50, 75, 95), one list whose first slot changes;
// - fold/NAME (qvh_call_fold: chunks carrying the running result, or the deviation sums in two
//   passes in place) and over/NAME (qvh_call_over, its
//   list kept warm) against table/NAME; percentiles/5 (qvh_call_percentiles) against over/MEDIAN;
// - rows/NAME: the values as rows of 10, the package's list entry per row over a list laid out per row;
// - groups/NAME: the package's call per group over a list of the group's values laid out before the
//   timing starts (the keys' 1000 groups).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "bench_common.hpp"
#include "qvhost.h"

namespace {

template <class T>
std::vector<T> read_file(const char *var) {
    const char *path = std::getenv(var);
    std::vector<T> v;
    if (path == nullptr || *path == '\0') return v;
    std::FILE *f = std::fopen(path, "rb");
    T x;
    while (f != nullptr && std::fread(&x, sizeof x, 1, f) == 1) v.push_back(x);
    if (f != nullptr) std::fclose(f);
    if (v.empty()) {
        std::fprintf(stderr, "bulk_bench: no values in %s\n", path);
        std::exit(2);
    }
    return v;
}

const std::vector<double> &values() {
    static const std::vector<double> xs = [] {
        std::vector<double> v = read_file<double>("QV_BENCH_VALUES");
        if (!v.empty()) return v;
        v.resize(10'000'000);
        std::mt19937_64 rng(1);
        std::normal_distribution<double> d;
        const double dot = qvh_dot();
        for (std::size_t i = 0; i < v.size(); ++i) v[i] = i % 100 == 99 ? dot : d(rng);
        return v;
    }();
    return xs;
}

const std::vector<std::int32_t> &keys() {
    static const std::vector<std::int32_t> ks = [] {
        std::vector<std::int32_t> k = read_file<std::int32_t>("QV_BENCH_KEYS");
        if (!k.empty()) return k;
        k.resize(values().size());
        std::mt19937_64 rng(2);
        for (std::int32_t &g : k) g = static_cast<std::int32_t>(rng() % 1000);
        return k;
    }();
    return ks;
}

std::int64_t count() { return static_cast<std::int64_t>(values().size()); }

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

using Call = std::unique_ptr<qvh_call, decltype(&qvh_call_free)>;
Call owned(const char *name) { return Call(call_of(name), qvh_call_free); }

void run_loop(benchmark::State &state, const char *name) { qvbench::scalar_array_loop(state, name, values()); }

void run_round_loop(benchmark::State &state) { qvbench::round_array_loop(state, values()); }

void run_fold(benchmark::State &state, const char *name) {
    Call call = owned(name);
    const std::vector<double> &xs = values();
    double r = 0;
    for (auto _ : state) benchmark::DoNotOptimize(qvh_call_fold(call.get(), xs.data(), xs.size(), sizeof(double), &r, nullptr));
    state.SetItemsProcessed(state.iterations() * count());
}

void run_over(benchmark::State &state, const char *name) {
    Call call = owned(name);
    const std::vector<double> &xs = values();
    double r = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(qvh_call_over(call.get(), nullptr, 0, xs.data(), xs.size(), sizeof(double), &r, nullptr, nullptr));
    state.SetItemsProcessed(state.iterations() * count());
}

// The package's own call over a list laid out once: the fastest any surface can be.
void run_table(benchmark::State &state, const char *name) {
    Call call = owned(name);
    qvh_call_add_nums(call.get(), values().data(), values().size());
    for (auto _ : state) benchmark::DoNotOptimize(qvh_call_invoke(call.get()));
    state.SetItemsProcessed(state.iterations() * count());
}

constexpr double FIVE[5] = {5, 25, 50, 75, 95};

void run_table_pctl5(benchmark::State &state) {
    Call call = owned("PCTL");
    qvh_call_add_num(call.get(), 50);
    qvh_call_add_nums(call.get(), values().data(), values().size());
    for (auto _ : state)
        for (double p : FIVE) {
            qvh_call_set_num(call.get(), 0, p);
            benchmark::DoNotOptimize(qvh_call_invoke(call.get()));
        }
    state.SetItemsProcessed(state.iterations() * count());
}

void run_percentiles(benchmark::State &state) {
    Call call = owned("PCTL");
    double r[5];
    for (auto _ : state)
        benchmark::DoNotOptimize(qvh_call_percentiles(call.get(), FIVE, 5, values().data(), values().size(), sizeof(double), r, nullptr, nullptr));
    state.SetItemsProcessed(state.iterations() * count());
}

void run_rows(benchmark::State &state, const char *name) {
    const FuncTableRow *row = qvbench::row_or_skip(state, name);
    if (row == nullptr) return;
    const std::vector<double> &xs = values();
    qvhost::ArgList args;
    args.reserve(10);
    double r = 0;
    for (auto _ : state)
        for (std::size_t i = 0; i + 10 <= xs.size(); i += 10) {
            args.clear();
            args.nums(xs.data() + i, 10, [](double x) { return x; });
            benchmark::DoNotOptimize(row->entry.list(args.get(), &r));
            benchmark::DoNotOptimize(r);
        }
    state.SetItemsProcessed(state.iterations() * count());
}

void run_groups(benchmark::State &state, const char *name) {
    std::vector<std::vector<double>> slices(1000);
    for (std::size_t i = 0; i < values().size(); ++i) slices[static_cast<std::size_t>(keys()[i])].push_back(values()[i]);
    std::vector<Call> calls;
    for (const std::vector<double> &s : slices) {
        calls.push_back(owned(name));
        qvh_call_add_nums(calls.back().get(), s.data(), s.size());
    }
    for (auto _ : state)
        for (Call &c : calls) benchmark::DoNotOptimize(qvh_call_invoke(c.get()));
    state.SetItemsProcessed(state.iterations() * count());
}

template <class F, class... A>
void add(const std::string &name, F fn, A... args) {
    benchmark::RegisterBenchmark(name.c_str(), fn, args...)->Unit(benchmark::kMillisecond);
}

const int registered = [] {
    for (const char *name : {"ABS", "EXP", "LOG", "SQRT", "FLOOR", "GAMMA", "LGAMMA", "DIGAMMA"})
        add(std::string("loop/") + name, run_loop, name);
    add("loop/ROUND", run_round_loop);
    for (const char *name : {"N", "SUM", "MEAN", "MIN", "MAX", "RANGE", "VAR", "STD"}) {
        add(std::string("table/") + name, run_table, name);
        add(std::string("fold/") + name, run_fold, name);
        add(std::string("over/") + name, run_over, name);
    }
    add("table/MEDIAN", run_table, "MEDIAN");
    add("over/MEDIAN", run_over, "MEDIAN");
    add("table/PCTL5", run_table_pctl5);
    add("percentiles/5", run_percentiles);
    for (const char *name : {"SUM", "MEAN", "STD"}) add(std::string("rows/") + name, run_rows, name);
    for (const char *name : {"N", "SUM", "MEAN", "STD", "MIN", "MAX", "MEDIAN"})
        add(std::string("groups/") + name, run_groups, name);
    return 0;
}();

}  // namespace
