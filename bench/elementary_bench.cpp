// ns per call of the elementary functions through their table entry, beside a direct call of
// the same C mathematics function over the same inputs in the same run. table/COPY is a function
// of the table's form that only writes its argument, called the same way: the cost of the call
// path itself. loop/NAME is the package's own C loop over an array (each value's call, its result
// stored and its status counted); rows/NAME is the host library's qvh_call_rows over the same
// array, the path of every elementwise surface.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>

#include <vector>

#include "arglist.hpp"
#include "bench_common.hpp"
#include "loader.hpp"
#include "qvhost.h"

namespace {

using qvbench::package;

// Arguments inside every function's domain, varied so that no call can be folded away.
const std::array<double, 256> &inputs() {
    static const std::array<double, 256> xs = [] {
        std::array<double, 256> a{};
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = 0.001 + 0.9 * static_cast<double>(i) / a.size();
        return a;
    }();
    return xs;
}

// Calls fn through its pointer on the inputs in turn.
void call_loop(benchmark::State &state, QvScalarFn fn) {
    const auto &xs = inputs();
    std::size_t i = 0;
    double r;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(&r, xs[i++ & 255]));
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
}

void table_call(benchmark::State &state, const char *name) {
    if (const FuncTableRow *row = qvbench::row_or_skip(state, name)) call_loop(state, row->entry.scalar);
}

// Kept out of line and reached through a pointer, as the package's entries are.
[[gnu::noinline]] QvStatus copy_entry(double *result, double x) {
    *result = x;
    return STATUS_OK;
}

void copy_call(benchmark::State &state) {
    QvScalarFn volatile entry = copy_entry;
    call_loop(state, entry);
}

template <double (*F)(double)>
void direct_call(benchmark::State &state) {
    const auto &xs = inputs();
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(F(xs[i++ & 255]));
    state.SetItemsProcessed(state.iterations());
}

double c_abs(double x) { return std::fabs(x); }
double c_sqrt(double x) { return std::sqrt(x); }
double c_exp(double x) { return std::exp(x); }
double c_log(double x) { return std::log(x); }
double c_sin(double x) { return std::sin(x); }
double c_cos(double x) { return std::cos(x); }
double c_tan(double x) { return std::tan(x); }
double c_acos(double x) { return std::acos(x); }
double c_asin(double x) { return std::asin(x); }
double c_atan(double x) { return std::atan(x); }
double c_cosh(double x) { return std::cosh(x); }
double c_sinh(double x) { return std::sinh(x); }
double c_tanh(double x) { return std::tanh(x); }
double c_log10(double x) { return std::log10(x); }

void atan2_table(benchmark::State &state) {
    const FuncTableRow *row = qvbench::row_or_skip(state, "ATAN2");
    if (row == nullptr) return;
    qvhost::ArgList list;
    list.num(0.5).num(0.25);
    qvbench::list_loop(state, *row, list, inputs());
}

void atan2_direct(benchmark::State &state) {
    const auto &xs = inputs();
    std::size_t i = 0;
    volatile double x = 0.25;
    for (auto _ : state) benchmark::DoNotOptimize(std::atan2(xs[i++ & 255], x));
    state.SetItemsProcessed(state.iterations());
}

// 4096 values (the inputs again and again) and room for their results: an array in cache.
constexpr std::size_t ROWS = 4096;

std::vector<double> array_inputs() {
    std::vector<double> v(ROWS);
    for (std::size_t i = 0; i < ROWS; ++i) v[i] = inputs()[i & 255];
    return v;
}

void package_loop(benchmark::State &state, const char *name) { qvbench::scalar_array_loop(state, name, array_inputs()); }

void round_loop(benchmark::State &state) { qvbench::round_array_loop(state, array_inputs()); }

// qvh_call_rows of name over the array, with a second argument unit (one value for every row)
// when nargs is 2.
void host_rows(benchmark::State &state, const char *name, std::size_t nargs) {
    qvh_package *pkg = nullptr;
    qvh_call *call = nullptr;
    if (qvh_open(nullptr, &pkg) != QVH_OK || qvh_call_new(pkg, name, &call) != QVH_OK) {
        state.SkipWithError("no package or no function");
        qvh_close(pkg);
        return;
    }
    const std::vector<double> xs = array_inputs();
    std::vector<double> out(ROWS);
    const double unit = 0.01;
    const double *args[2] = {xs.data(), &unit};
    const ptrdiff_t strides[2] = {sizeof(double), 0};
    qvh_tally t{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(qvh_call_rows(call, ROWS, nargs, args, strides, out.data(), sizeof(double), nullptr, nullptr, &t));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(ROWS));
    qvh_call_free(call);
    qvh_close(pkg);
}

}  // namespace

#define ARRAY(NAME)                                                          \
    BENCHMARK_CAPTURE(package_loop, NAME, #NAME)->Name("loop/" #NAME);      \
    BENCHMARK_CAPTURE(host_rows, NAME, #NAME, 1)->Name("rows/" #NAME);

ARRAY(ABS)
ARRAY(EXP)
ARRAY(LOG)
ARRAY(SQRT)
ARRAY(FLOOR)
BENCHMARK(round_loop)->Name("loop/ROUND");
BENCHMARK_CAPTURE(host_rows, ROUND, "ROUND", 2)->Name("rows/ROUND");

#define PAIR(NAME, F)                                                   \
    BENCHMARK_CAPTURE(table_call, NAME, #NAME)->Name("table/" #NAME);   \
    BENCHMARK(direct_call<F>)->Name("direct/" #NAME);

PAIR(ABS, c_abs)
PAIR(SQRT, c_sqrt)
PAIR(EXP, c_exp)
PAIR(LOG, c_log)
PAIR(SIN, c_sin)
PAIR(COS, c_cos)
PAIR(TAN, c_tan)
PAIR(ARCOS, c_acos)
PAIR(ARSIN, c_asin)
PAIR(ATAN, c_atan)
PAIR(COSH, c_cosh)
PAIR(SINH, c_sinh)
PAIR(TANH, c_tanh)
PAIR(LOG10, c_log10)
BENCHMARK(copy_call)->Name("table/COPY");
BENCHMARK(atan2_table)->Name("table/ATAN2");
BENCHMARK(atan2_direct)->Name("direct/ATAN2");
