// ns per call of ROUND, MOD, DIVIDE and GCD through their table entries, beside a direct
// computation of the nearest C library equivalent over the same inputs in the same run.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <numeric>
#include <vector>

#include "arglist.hpp"
#include "bench_common.hpp"
#include "loader.hpp"

namespace {

using qvbench::package;

// First arguments varied so that no call can be folded away: decimals for the rounding and
// remainder functions, integers for GCD.
const std::array<double, 256> &inputs(bool integers) {
    static const auto make = [](bool whole) {
        std::array<double, 256> a{};
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = whole ? 360.0 * (i + 1) : 1.005 + 37.13 * i;
        return a;
    };
    static const std::array<double, 256> decimals = make(false), wholes = make(true);
    return integers ? wholes : decimals;
}

// Calls the row's entry with argument 1 taken from the inputs and the rest fixed.
void table_call(benchmark::State &state, const char *name, std::vector<double> rest, bool integers) {
    const FuncTableRow *row = qvbench::row_or_skip(state, name);
    if (row == nullptr) return;
    qvhost::ArgList list;
    list.num(0.0);
    for (double v : rest) list.num(v);
    qvbench::list_loop(state, *row, list, inputs(integers));
}

template <class F>
void direct_call(benchmark::State &state, F f, bool integers) {
    const auto &xs = inputs(integers);
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(f(xs[i++ & 255]));
    state.SetItemsProcessed(state.iterations());
}

const std::vector<double> gcd8 = {720, 1080, 2520, 5040, 1800, 3600, 7560};

}  // namespace

BENCHMARK_CAPTURE(table_call, ROUND_unit_1, "ROUND", std::vector<double>{}, false);
BENCHMARK_CAPTURE(table_call, ROUND_unit_0_01, "ROUND", std::vector<double>{0.01}, false);
BENCHMARK_CAPTURE(table_call, ROUND_unit_0_1, "ROUND", std::vector<double>{0.1}, false);
BENCHMARK_CAPTURE(table_call, ROUND_unit_5, "ROUND", std::vector<double>{5.0}, false);
BENCHMARK_CAPTURE(direct_call, c_round_unit_0_1, [](double x) { return std::round(x / 0.1) * 0.1; }, false);
BENCHMARK_CAPTURE(table_call, MOD, "MOD", std::vector<double>{0.7}, false);
BENCHMARK_CAPTURE(direct_call, c_fmod, [](double x) { return std::fmod(x, 0.7); }, false);
BENCHMARK_CAPTURE(table_call, DIVIDE, "DIVIDE", std::vector<double>{0.7}, false);
BENCHMARK_CAPTURE(direct_call, c_divide, [](double x) { return x / 0.7; }, false);
BENCHMARK_CAPTURE(table_call, GCD_2_args, "GCD", std::vector<double>{2520}, true);
BENCHMARK_CAPTURE(table_call, GCD_8_args, "GCD", gcd8, true);
BENCHMARK_CAPTURE(direct_call, std_gcd_8_args, [](double x) {
    std::int32_t g = static_cast<std::int32_t>(x);
    for (double v : gcd8) g = std::gcd(g, static_cast<std::int32_t>(v));
    return g;
}, true);
