// List statistics over values read in place (N, NMISS, SUM, MEAN, USS, MIN, MAX, RANGE and the
// deviation sums), by the package's own code for one list (qv/args.hpp, qv/listsum.hpp,
// qv/devsum.hpp) compiled into the host: the bits of the package's call over the list the host
// would lay out of the values, without laying it out.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "catalogue.hpp"
#include "fold.hpp"
#include "qv/devsum.hpp"

namespace qvhost {

// n doubles at xs, read as the package reads the list the host lays out of them: a NaN that is
// not a missing value goes into that list as '.', so no NaN is a present value.
struct InPlaceView {
    static constexpr std::uint64_t SIGN = std::uint64_t{1} << 63, INFINITY_BITS = 0x7FF0000000000000;
    const double *xs;
    std::int64_t n;

    std::int32_t count32() const { return static_cast<std::int32_t>(static_cast<std::uint64_t>(n)); }
    std::int64_t count64() const { return n; }
    // In integers, so that a count's loop over it has no branch: a NaN's magnitude lies above
    // the infinities'.
    double num(std::int64_t i) const {
        std::uint64_t u;
        std::memcpy(&u, xs + i, sizeof u);
        const bool nan = (u & ~SIGN) > INFINITY_BITS;
        return std::bit_cast<double>(nan ? QV_MISSING_DOT_BITS : u);
    }
    template <class F>
    void forward(std::int64_t first, std::int64_t end, F &&f) const {
        for (std::int64_t i = first; i < end; ++i)
            if (const double x = xs[i]; x == x) f(x, i);
    }
    template <class F>
    void backward(std::int64_t first, std::int64_t end, F &&f) const {
        for (std::int64_t i = end - 1; i >= first; --i)
            if (const double x = xs[i]; x == x) f(x, i);
    }
};

// One lead slot, then the values of an InPlaceView: a running sum carried into SUM's call over
// the next values (forward walks only). The lead is read as the package reads a number the host
// lays out as it is: a NaN there is present unless it is a missing value.
struct LeadView {
    double lead;
    InPlaceView values;

    std::int32_t count32() const { return static_cast<std::int32_t>(static_cast<std::uint64_t>(count64())); }
    std::int64_t count64() const { return values.n + 1; }
    template <class F>
    void forward(std::int64_t first, std::int64_t end, F &&f) const {
        if (first == 0 && end > 0 && !qv::is_missing(lead)) f(lead, 0);
        const std::int64_t from = first > 0 ? first - 1 : 0;
        values.forward(from, end - 1, [&](double x, std::int64_t i) { f(x, i + 1); });
    }
};

// N or NMISS (info) over the view's values, as the package's call gives it.
inline double count_over(const qvh_info &info, const InPlaceView &v) {
    const bool nmiss = std::strcmp(info.name, "NMISS") == 0;
    return static_cast<double>(nmiss ? qv::count_missing<true>(v) : qv::count_missing<false>(v));
}

// S (not SumStat::None) over the view's values, as the package's call gives it.
template <SumStat S, class View>
[[gnu::always_inline]] inline Outcome sum_stat_over(const View &v) {
    Outcome r{0.0, STATUS_OK};
    auto spread = [&](qv::DeviationRule rule, auto finish) {
        return qv::deviation_list(v, rule, &r.value, [&](const qv::DeviationSum &d, std::int64_t, double *out) { return finish(d, out); });
    };
    if constexpr (S == SumStat::Sum) r.status = qv::sum_list(v, &r.value);
    else if constexpr (S == SumStat::Mean) r.status = qv::mean_list(v, &r.value);
    else if constexpr (S == SumStat::Uss) r.status = qv::uss_list(v, &r.value);
    else if constexpr (S == SumStat::Css) r.status = spread(qv::CSS_RULE, qv::finish_css);
    else if constexpr (S == SumStat::Var) r.status = spread(qv::SPREAD_RULE, qv::finish_var);
    else if constexpr (S == SumStat::Std) r.status = spread(qv::SPREAD_RULE, qv::finish_std);
    else if constexpr (S == SumStat::Stderr) r.status = spread(qv::SPREAD_RULE, qv::finish_stderr);
    else r.status = spread(qv::CV_RULE, qv::finish_cv);
    return r;
}

// A statistic qvh_call_fold reads in place (qvh_fold_in_place: N, NMISS, SUM, MEAN, MIN, MAX,
// RANGE, and the summed statistics) over the view's values, as the package's call gives it.
Outcome fold_stat_over(const qvh_info &info, const InPlaceView &v);

// f(std::integral_constant<SumStat, S>{}) for stat = S (not SumStat::None): code made for each statistic.
template <class F>
auto for_sum_stat(SumStat stat, F &&f) {
    using K = SumStat;
    switch (stat) {
        case K::Sum: return f(std::integral_constant<K, K::Sum>{});
        case K::Mean: return f(std::integral_constant<K, K::Mean>{});
        case K::Uss: return f(std::integral_constant<K, K::Uss>{});
        case K::Css: return f(std::integral_constant<K, K::Css>{});
        case K::Var: return f(std::integral_constant<K, K::Var>{});
        case K::Std: return f(std::integral_constant<K, K::Std>{});
        case K::Stderr: return f(std::integral_constant<K, K::Stderr>{});
        default: return f(std::integral_constant<K, K::Cv>{});
    }
}

}  // namespace qvhost
