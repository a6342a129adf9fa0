// SUM, MEAN, VAR, RMS and GEOMEAN through their table rows, each beside a plain loop over the
// same slots doing the same arithmetic (missing test, accumulation, final step), at 8, 64,
// 1024 and 65536 arguments. Compare table/NAME/n with loop/NAME/n.
#include <benchmark/benchmark.h>

#include <cmath>
#include <map>
#include <memory>
#include <random>

#include "arglist.hpp"
#include "bench_common.hpp"
#include "loader.hpp"
#include "qv/values.hpp"

namespace {

using qvbench::package;

// Positive values with every 16th slot missing, one list per size, built once.
FuncArgList *list_of(std::int64_t n) {
    static qvhost::CountingPool pool;
    static std::map<std::int64_t, std::unique_ptr<qvhost::ArgList>> lists;
    auto &slot = lists[n];
    if (!slot) {
        slot = std::make_unique<qvhost::ArgList>(pool.host());
        std::mt19937_64 rng(static_cast<unsigned long long>(n));
        std::uniform_real_distribution<double> value(0.5, 4.0);
        for (std::int64_t i = 0; i < n; ++i) slot->num(i % 16 == 15 ? qv::MISSING_DOT : value(rng));
    }
    return slot->get();
}

// Calls f(x) for every present value of the list, first slot first.
template <class F>
inline void present(const FuncArgList *list, F &&f) {
    for (std::int64_t i = 0; i < list->count; ++i) {
        const double x = *static_cast<const double *>(list->args[i].value);
        if (!qv::is_missing(x)) f(x);
    }
}

double loop_sum(const FuncArgList *list) {
    double s = 0.0;
    present(list, [&](double x) { s = s + x; });
    return s;
}

double loop_mean(const FuncArgList *list) {
    double s = 0.0;
    std::int32_t n = 0;
    present(list, [&](double x) {
        s = s + x;
        ++n;
    });
    return s / n;
}

double loop_var(const FuncArgList *list) {
    const double mean = loop_mean(list);
    double css = 0.0;
    std::int32_t n = 0;
    present(list, [&](double x) {
        const double d = x - mean;
        css = css + d * d;
        ++n;
    });
    return css / (n - 1);
}

double loop_rms(const FuncArgList *list) {
    double s = 0.0;
    std::int32_t n = 0;
    present(list, [&](double x) {
        s = s + x * x;
        ++n;
    });
    return std::sqrt(s / n);
}

double loop_geomean(const FuncArgList *list) {
    double s = 0.0;
    std::int32_t n = 0;
    present(list, [&](double x) {
        s = std::log(x) + s;
        ++n;
    });
    return std::exp(s / n);
}

void run_table(benchmark::State &state, QvListFn fn) {
    FuncArgList *list = list_of(state.range(0));
    double result;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(list, &result));
        benchmark::DoNotOptimize(result);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void run_loop(benchmark::State &state, double (*loop)(const FuncArgList *)) {
    FuncArgList *list = list_of(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(list);
        benchmark::DoNotOptimize(loop(list));
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

const int registered = [] {
    const std::pair<const char *, double (*)(const FuncArgList *)> cases[] = {
        {"SUM", loop_sum}, {"MEAN", loop_mean}, {"VAR", loop_var}, {"RMS", loop_rms}, {"GEOMEAN", loop_geomean}};
    for (const auto &[name, loop] : cases) {
        const FuncTableRow *row = package().find(name);
        if (row == nullptr || row->entry.list == nullptr) continue;
        const QvListFn fn = row->entry.list;
        for (const auto *kind : {"table/", "loop/"}) {
            auto *b = std::string(kind) == "table/"
                          ? benchmark::RegisterBenchmark((std::string(kind) + name).c_str(), run_table, fn)
                          : benchmark::RegisterBenchmark((std::string(kind) + name).c_str(), run_loop, loop);
            b->Arg(8)->Arg(64)->Arg(1024)->Arg(65536);
        }
    }
    return 0;
}();

}  // namespace
