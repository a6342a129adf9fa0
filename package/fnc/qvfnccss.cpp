// Dispersion and shape over an argument list, all on one two-pass deviation sum: the mean
// first, then the squared deviations from it, both summed forward in slot order with missing
// values skipped. SKEWNESS and KURTOSIS add a third pass over the standardised deviations.
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/listsum.hpp"
#include "qv/status.hpp"

namespace {

using qv::ArgView;
using qv::fail;

// Relative fuzz of CV up to 1024 values; two units above 2^-46.
constexpr double CV_FUZZ_SMALL = std::bit_cast<double>(0x3D10000000000002ull);
// Per square root of n beyond 1024 values (and SKEWNESS's snap); two units above 2^-51.
constexpr double CV_FUZZ_UNIT = std::bit_cast<double>(0x3CC0000000000002ull);

// What a list whose present values all equal the first one gives.
enum class AllEqual {
    Zero,     // 0.0 once the minimum count is reached
    Invalid,  // zero variance: invalid once the minimum count is reached
    Compute,  // no shortcut
};

struct Deviations {
    ArgView view;
    std::int64_t first;  // slot of the first present value
    std::int32_t n;
    double mean;
    double css;
    double nd() const { return static_cast<double>(n); }
    // Calls f(x - mean) for every present value after the first, in slot order.
    template <class F>
    void later(F &&f) const {
        view.forward(first + 1, view.count64(), [&](double x, std::int64_t) { f(x - mean); });
    }
    double d1() const { return view.num(first) - mean; }
};

// The deviation sum: decides the missing, too-few and equal-values outcomes and hands
// everything else to finish(deviations, result).
template <class Finish>
inline QvStatus deviation_sum(FuncArgList *args, double *result, std::int32_t min_n, AllEqual rule,
                              Finish finish) {
    const ArgView v(args);
    qv::ListSum p;
    if (!qv::sum_from_first(v, p)) return fail(result, STATUS_MISSING_ARG);
    const std::int32_t n = p.n;
    if (!p.differs && rule == AllEqual::Zero && n >= min_n) {
        *result = 0.0;
        return STATUS_OK;
    }
    if (!p.differs && rule == AllEqual::Invalid && n >= min_n) return fail(result, STATUS_INVALID_ARG);
    if (n < min_n) return fail(result, STATUS_MISSING_ARG);

    Deviations d{v, p.first, n, p.s / static_cast<double>(n), 0.0};
    const double e1 = d.d1();
    double css = e1 * e1;
    d.later([&](double e) { css = css + e * e; });
    d.css = css;
    return finish(d, result);
}

inline QvStatus ok(double *result, double value) {
    *result = value;
    return STATUS_OK;
}

inline double sample_variance(const Deviations &d) { return d.css / static_cast<double>(d.n - 1); }

}  // namespace

QV_EXPORT QvStatus qvfnccss(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 1, AllEqual::Zero, [](const Deviations &d, double *r) { return ok(r, d.css); });
}

QV_EXPORT QvStatus qvfncvar(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 2, AllEqual::Zero,
                         [](const Deviations &d, double *r) { return ok(r, sample_variance(d)); });
}

QV_EXPORT QvStatus qvfncstd(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 2, AllEqual::Zero,
                         [](const Deviations &d, double *r) { return ok(r, std::sqrt(sample_variance(d))); });
}

// The divisor (n - 1) n is formed before the one division; STD / sqrt(n) can differ in the
// last bit.
QV_EXPORT QvStatus qvfncstde(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 2, AllEqual::Zero, [](const Deviations &d, double *r) {
        return ok(r, std::sqrt(d.css / (static_cast<double>(d.n - 1) * d.nd())));
    });
}

// Coefficient of variation in percent. A mean within the fuzz of zero next to the spread is
// invalid; a spread within the fuzz of zero next to the mean (the rounding noise of identical
// values) gives 0.
QV_EXPORT QvStatus qvfnccv(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 2, AllEqual::Compute, [](const Deviations &d, double *r) {
        const double sd = std::sqrt(sample_variance(d));
        const double a = qv::clear_sign(d.mean);
        const double f = d.n <= 1024 ? CV_FUZZ_SMALL : std::sqrt(d.nd()) * CV_FUZZ_UNIT;
        if (sd * f >= a) return fail(r, STATUS_INVALID_ARG);
        if (a * f >= sd) return ok(r, 0.0);
        return ok(r, (sd / d.mean) * 100.0);
    });
}

// Bias-corrected sample skewness; values within sqrt(n) x CV_FUZZ_UNIT of zero are rounding
// noise and snap to 0.
QV_EXPORT QvStatus qvfncskew(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 3, AllEqual::Invalid, [](const Deviations &d, double *r) {
        if (d.css == 0.0) return fail(r, STATUS_INVALID_ARG);
        const double n = d.nd();
        const double rs = std::sqrt(static_cast<double>(d.n - 1) / d.css);
        const double z1 = d.d1() * rs;
        double acc = z1 * (z1 * z1);
        d.later([&](double e) {
            const double z = e * rs;
            acc = acc + (z * z) * z;
        });
        const double skew = (acc * n) / ((n + (-1.0)) * (n + (-2.0)));
        const double g = std::sqrt(n) * CV_FUZZ_UNIT;
        return ok(r, (-g < skew && skew < g) ? 0.0 : skew);
    });
}

// Bias-corrected sample excess kurtosis. The first term and the later ones associate their
// products differently; both orders are kept as they are.
QV_EXPORT QvStatus qvfnckurt(FuncArgList *args, double *result) {
    return deviation_sum(args, result, 4, AllEqual::Invalid, [](const Deviations &d, double *r) {
        if (d.css == 0.0) return fail(r, STATUS_INVALID_ARG);
        const double n = d.nd();
        const double w = static_cast<double>(d.n - 1) / d.css;
        const double e1 = d.d1();
        const double t1 = (e1 * e1) * w;
        double acc = t1 * t1;
        d.later([&](double e) {
            const double t = e * (w * e);
            acc = acc + t * t;
        });
        const double a1 = n + (-1.0), a2 = n + (-2.0), a3 = n + (-3.0);
        const double f = ((1.0 + n) * n) / ((a1 * a2) * a3);
        const double t = ((3.0 * a1) * a1) / (a2 * a3);
        return ok(r, f * acc - t);
    });
}
