// Dispersion and shape over an argument list, all on one two-pass deviation sum: the mean
// first, then the squared deviations from it, both summed forward in slot order with missing
// values skipped. SKEWNESS and KURTOSIS add a third pass over the standardised deviations.
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/devsum.hpp"
#include "qv/status.hpp"

namespace {

using qv::ArgView;
using qv::DeviationRule;
using qv::fail;
using qv::finish_ok;

struct Deviations : qv::DeviationSum {
    ArgView view;
    std::int64_t first;  // slot of the first present value
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
inline QvStatus deviation_sum(FuncArgList *args, double *result, DeviationRule rule, Finish finish) {
    const ArgView v(args);
    return qv::deviation_list(v, rule, result, [&](const qv::DeviationSum &d, std::int64_t first, double *r) {
        return finish(Deviations{d, v, first}, r);
    });
}

}  // namespace

QV_EXPORT QvStatus qvfnccss(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::CSS_RULE, [](const Deviations &d, double *r) { return qv::finish_css(d, r); });
}

QV_EXPORT QvStatus qvfncvar(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::SPREAD_RULE, [](const Deviations &d, double *r) { return qv::finish_var(d, r); });
}

QV_EXPORT QvStatus qvfncstd(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::SPREAD_RULE, [](const Deviations &d, double *r) { return qv::finish_std(d, r); });
}

QV_EXPORT QvStatus qvfncstde(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::SPREAD_RULE, [](const Deviations &d, double *r) { return qv::finish_stderr(d, r); });
}

QV_EXPORT QvStatus qvfnccv(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::CV_RULE, [](const Deviations &d, double *r) { return qv::finish_cv(d, r); });
}

// Bias-corrected sample skewness; values within sqrt(n) x CV_FUZZ_UNIT of zero are rounding
// noise and snap to 0.
QV_EXPORT QvStatus qvfncskew(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::SHAPE_RULES[0], [](const Deviations &d, double *r) {
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
        const double g = std::sqrt(n) * qv::CV_FUZZ_UNIT;
        return finish_ok(r, (-g < skew && skew < g) ? 0.0 : skew);
    });
}

// Bias-corrected sample excess kurtosis. The first term and the later ones associate their
// products differently; both orders are kept as they are.
QV_EXPORT QvStatus qvfnckurt(FuncArgList *args, double *result) {
    return deviation_sum(args, result, qv::SHAPE_RULES[1], [](const Deviations &d, double *r) {
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
        return finish_ok(r, f * acc - t);
    });
}
