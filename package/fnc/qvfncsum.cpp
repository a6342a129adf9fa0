// Sums, extremes and means over an argument list. Missing values are skipped; sums are added
// one at a time in the walk order each function names, since that order decides the rounding.
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/listsum.hpp"
#include "qv/status.hpp"

namespace {

using qv::ArgView;
using qv::fail;

// Below count x RMS_TINY the plain sum of squares may have lost digits to underflow.
constexpr double RMS_TINY = std::bit_cast<double>(0x035FFFFFFFFFFFFEull);
// Scale for lists holding a value whose square would overflow; just above 2^-511.
constexpr double RMS_BIG_SCALE = std::bit_cast<double>(0x20000000002302ACull);

// Adds the scaled squares (x f)^2 of the present values of slots [0, end), last slot first.
inline void scaled_squares(const ArgView &v, std::int64_t end, double f, double &s, std::int32_t &n) {
    v.backward(0, end, [&](double x, std::int64_t) {
        const double y = x * f;
        s = s + y * y;
        ++n;
    });
}

}  // namespace

QV_EXPORT QvStatus qvfncsum(FuncArgList *args, double *result) { return qv::sum_list(ArgView(args), result); }

QV_EXPORT QvStatus qvfncmean(FuncArgList *args, double *result) { return qv::mean_list(ArgView(args), result); }

QV_EXPORT QvStatus qvfncmin(FuncArgList *args, double *result) { return qv::min_list(ArgView(args), result); }

QV_EXPORT QvStatus qvfncmax(FuncArgList *args, double *result) { return qv::max_list(ArgView(args), result); }

QV_EXPORT QvStatus qvfncrang(FuncArgList *args, double *result) { return qv::range_list(ArgView(args), result); }

QV_EXPORT QvStatus qvfncuss(FuncArgList *args, double *result) { return qv::uss_list(ArgView(args), result); }

// Root mean square, last slot first. A value beyond sqrt(DBL_MAX / count) would overflow its
// square: the walk stops there, rescales what it has and goes on with scaled squares. A sum
// that ends up tiny is recomputed with all values scaled up, since its squares may have
// underflowed.
QV_EXPORT QvStatus qvfncrms(FuncArgList *args, double *result) {
    const ArgView v(args);
    const std::int32_t count = v.count32();
    const double slots = static_cast<double>(count);
    const double limit = std::sqrt(qv::DBL_MAX_VALUE / slots);
    double s = 0.0;
    std::int32_t n = 0;
    std::int64_t i = static_cast<std::int64_t>(count) - 1;
    for (; i >= 0; --i) {
        const double x = v.num(i);
        if (qv::is_missing(x)) continue;
        if (x > limit || -limit > x) break;
        s = s + x * x;
        ++n;
    }
    double f;
    if (i < 0) {
        if (n == 0) return fail(result, STATUS_MISSING_ARG);
        if (s > slots * RMS_TINY) {
            *result = std::sqrt(s / static_cast<double>(n));
            return STATUS_OK;
        }
        f = std::ldexp(0.5, 972) / slots;
        s = 0.0;
        n = 0;
        scaled_squares(v, count, f, s, n);
    } else {
        const std::int32_t slots_plus_one = static_cast<std::int32_t>(static_cast<std::uint32_t>(count) + 1u);
        f = RMS_BIG_SCALE / static_cast<double>(slots_plus_one);
        s = (s * f) * f;
        scaled_squares(v, i + 1, f, s, n);
    }
    *result = std::sqrt(s / static_cast<double>(n)) / f;
    return STATUS_OK;
}
