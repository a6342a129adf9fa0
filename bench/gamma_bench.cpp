// ns per call of the special functions, through the table rows and as exported routines, beside
// the C library's tgamma and lgamma and, when Boost.Math is installed, its digamma and trigamma
// for doubles without promotion to long double, in the same run. Argument 0 draws x from
// [0.5, 20) (the recurrence and rational approximations), argument 1 from [20, 170) (the
// asymptotic series). inline/NAME is the package's own evaluation (qv/specialfn.hpp) expanded in
// the benchmark loop: the arithmetic without the call through the table, the missing test and
// the status. floor/LGAMMA is the part of log-gamma's arithmetic that no rearrangement can
// shorten: below 15 the product of the reduction steps, one multiplication after the other,
// and the logarithm of it; above, the logarithm of x.
#include <benchmark/benchmark.h>

#if QV_HAVE_BOOST_MATH
#include <boost/math/special_functions/digamma.hpp>
#include <boost/math/special_functions/trigamma.hpp>
#endif

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "bench_common.hpp"
#include "loader.hpp"
#include "qv/specialfn.hpp"

namespace {

using qvbench::package;

const std::vector<double> &arguments(std::int64_t range) {
    static const std::vector<double> sets[2] = {
        [] {
            std::mt19937_64 rng(1);
            std::uniform_real_distribution<double> u(0.5, 20.0);
            std::vector<double> v(1024);
            for (double &x : v) x = u(rng);
            return v;
        }(),
        [] {
            std::mt19937_64 rng(2);
            std::uniform_real_distribution<double> u(20.0, 170.0);
            std::vector<double> v(1024);
            for (double &x : v) x = u(rng);
            return v;
        }(),
    };
    return sets[range];
}

template <class F>
void run(benchmark::State &state, F f) {
    const std::vector<double> &xs = arguments(state.range(0));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(xs[i]));
        i = (i + 1) & 1023;
    }
    state.SetItemsProcessed(state.iterations());
}

// Table entries, zgamma and zdigama all return a status and write the value through a pointer.
auto through_pointer(int (*fn)(double *, double)) {
    return [fn](double x) {
        double r;
        fn(&r, x);
        return r;
    };
}

void table(benchmark::State &state, const char *name) {
    const FuncTableRow *row = package().find(name);
    if (row == nullptr || row->entry.scalar == nullptr) return state.SkipWithError("no such row");
    run(state, through_pointer(row->entry.scalar));
}

void zgamma_(benchmark::State &state) { run(state, through_pointer(package().fn<decltype(&zgamma)>("zgamma"))); }
void zlgamma_(benchmark::State &state) { run(state, package().fn<decltype(&zlgamma)>("zlgamma")); }
void zdigama_(benchmark::State &state) { run(state, through_pointer(package().fn<decltype(&zdigama)>("zdigama"))); }
void ztigama_(benchmark::State &state) {
    const auto fn = package().fn<decltype(&ztigama)>("ztigama");
    run(state, [fn](double x) {
        std::int32_t status;
        return fn(&status, x);
    });
}
void std_tgamma(benchmark::State &state) { run(state, [](double x) { return std::tgamma(x); }); }
void std_lgamma(benchmark::State &state) { run(state, [](double x) { return std::lgamma(x); }); }

void inline_lgamma(benchmark::State &state) { run(state, [](double x) { return qv::ln_gamma(x); }); }
void inline_digamma(benchmark::State &state) {
    run(state, [](double x) {
        double v = 0.0;
        qv::digamma(x, v);
        return v;
    });
}
void inline_trigamma(benchmark::State &state) {
    run(state, [](double x) {
        std::int32_t status;
        return qv::trigamma(x, status);
    });
}

void floor_lgamma(benchmark::State &state) {
    run(state, [](double x) {
        if (!(x < 15.0)) return std::log(x);
        double y = x, f = 1.0;
        if (y < 1.0) f = 1.0 / y;
        while (y > 2.0) {
            y = y + (-1.0);
            f = f * y;
        }
        return std::log(f);
    });
}

#if QV_HAVE_BOOST_MATH
using NoPromotion = boost::math::policies::policy<boost::math::policies::promote_double<false>>;
void boost_digamma(benchmark::State &state) { run(state, [](double x) { return boost::math::digamma(x, NoPromotion()); }); }
void boost_trigamma(benchmark::State &state) { run(state, [](double x) { return boost::math::trigamma(x, NoPromotion()); }); }
BENCHMARK(boost_digamma)->DenseRange(0, 1);
BENCHMARK(boost_trigamma)->DenseRange(0, 1);
#endif

BENCHMARK_CAPTURE(table, GAMMA, "GAMMA")->DenseRange(0, 1);
BENCHMARK_CAPTURE(table, LGAMMA, "LGAMMA")->DenseRange(0, 1);
BENCHMARK_CAPTURE(table, DIGAMMA, "DIGAMMA")->DenseRange(0, 1);
BENCHMARK_CAPTURE(table, TRIGAMMA, "TRIGAMMA")->DenseRange(0, 1);
BENCHMARK(zgamma_)->DenseRange(0, 1);
BENCHMARK(zlgamma_)->DenseRange(0, 1);
BENCHMARK(zdigama_)->DenseRange(0, 1);
BENCHMARK(ztigama_)->DenseRange(0, 1);
BENCHMARK(std_tgamma)->DenseRange(0, 1);
BENCHMARK(std_lgamma)->DenseRange(0, 1);
BENCHMARK(inline_lgamma)->DenseRange(0, 1)->Name("inline/LGAMMA");
BENCHMARK(inline_digamma)->DenseRange(0, 1)->Name("inline/DIGAMMA");
BENCHMARK(inline_trigamma)->DenseRange(0, 1)->Name("inline/TRIGAMMA");
BENCHMARK(floor_lgamma)->DenseRange(0, 1)->Name("floor/LGAMMA");

}  // namespace
