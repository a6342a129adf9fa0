// Remainders and the quotient that never fails. MOD snaps a remainder within a relative fuzz of
// 0 or of the divisor to 0 and cleans the rest to four decimals; MODZ is exact. Both give the
// remainder the sign of the dividend. DIVIDE answers a zero divisor or an overflowing quotient
// with .I (plus infinity), .M (minus infinity) or ., and carries .I and .M through as infinities.
#include <bit>
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/fuzz.hpp"
#include "qv/rounding.hpp"
#include "qv/status.hpp"

namespace {

using qv::fail;
using qv::int_part;

constexpr int KIND_UNDERSCORE = 1;
constexpr int KIND_I = 11;
constexpr int KIND_M = 15;

// The divisor is rejected when it is negligible against the dividend; a zero divisor is always
// rejected (also against a NaN dividend) and is the only one marked.
inline bool rejects_divisor(const qv::ArgView &a, double ax, double ay) {
    if (!(qv::RELATIVE_FUZZ * ax >= ay) && ay != 0.0) return false;
    if (ay == 0.0) a.mark_invalid(1);
    return true;
}

// The dividend, the divisor and their magnitudes.
struct Operands {
    explicit Operands(const qv::ArgView &a) : x(a.num(0)), y(a.num(1)), ax(qv::clear_sign(x)), ay(qv::clear_sign(y)) {}
    bool missing() const { return qv::is_missing(x) || qv::is_missing(y); }
    double x, y, ax, ay;
};

// ax - n * ay with n the integer part of the quotient.
inline double truncated_remainder(double ax, double ay) { return ax - int_part(ax / ay) * ay; }

inline bool is_whole_up_to_2_53(double v) { return v <= qv::TWO_53 && int_part(v) == v; }

inline bool is_infinity_kind(int kind) { return kind == KIND_I || kind == KIND_M; }

}  // namespace

QV_EXPORT QvStatus qvfncmod(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const Operands o(a);
    if (o.missing()) return fail(result, STATUS_MISSING_ARG);
    const double ax = o.ax, ay = o.ay;

    // The fuzz is RELATIVE_FUZZ unless given: one of 1 or more counts in units of about 2^-53,
    // one below 1 is used as given.
    double f = qv::RELATIVE_FUZZ;
    if (a.count32() >= 3 && !qv::is_missing(a.num(2))) {
        f = a.num(2);
        if (f >= 1.0) f = f * qv::FUZZ_SCALE;
    }

    // Integers up to 2^53 (or no fuzz) take the exact remainder; only a zero divisor fails there.
    const bool exact = f == 0.0 || (is_whole_up_to_2_53(ax) && is_whole_up_to_2_53(ay));
    if (exact && ay == 0.0) {
        a.mark_invalid(1);
        return fail(result, STATUS_INVALID_ARG);
    }
    if (!exact && rejects_divisor(a, ax, ay)) return fail(result, STATUS_INVALID_ARG);
    double r = truncated_remainder(ax, ay);
    if (!exact) {
        const double t = f * (ay > ax ? ay : ax);
        // Within the fuzz of 0 or of the divisor: no remainder.
        if (t > r || r > ay + (-t)) {
            *result = 0.0;
            return STATUS_OK;
        }
        double k;
        if (r <= qv::SNAP_LIMIT && qv::near_integer(r * 10000.0, qv::min_of(t * 10000.0, 0.5), k)) r = k / 10000.0;
    }
    // -0.0 counts as non-negative.
    *result = o.x >= 0.0 ? r : 0.0 - r;
    return STATUS_OK;
}

QV_EXPORT QvStatus qvfncmodz(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const Operands o(a);
    if (o.missing()) return fail(result, STATUS_MISSING_ARG);
    if (rejects_divisor(a, o.ax, o.ay)) return fail(result, STATUS_INVALID_ARG);
    const double r = truncated_remainder(o.ax, o.ay);
    if (r <= 0.0 || r >= o.ay) *result = 0.0;
    else *result = o.x >= 0.0 ? r : qv::flip_sign(r);
    return STATUS_OK;
}

QV_EXPORT QvStatus qvfncdiv(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const double x = a.num(0);
    const double y = a.num(1);
    const bool x_missing = qv::is_missing(x);
    const bool y_missing = qv::is_missing(y);

    if (!x_missing && !y_missing) {
        const bool finite = y >= 1.0 || y <= -1.0 || qv::clear_sign(y) * qv::DBL_MAX_VALUE > qv::clear_sign(x);
        if (finite)
            *result = x / y;
        else if (x == 0.0)
            *result = qv::MISSING_DOT;  // 0 / 0, and 0 / NaN
        else if (std::isnan(x) || std::isnan(y))
            *result = x / y;  // a NaN operand otherwise gives the NaN of the quotient
        else  // a zero divisor or an overflowing quotient; -0.0 counts as a non-negative divisor
            *result = pqMissVal((x > 0.0) == (y >= 0.0) ? 'I' : 'M');
        return STATUS_OK;
    }

    const int kx = qv::missing_kind(x);
    const int ky = qv::missing_kind(y);
    if (kx == KIND_UNDERSCORE || ky == KIND_UNDERSCORE) {
        *result = pqMissVal('_');
    } else if (!y_missing) {
        // .I and .M divided by a negative number turn into each other.
        *result = is_infinity_kind(kx) && y < 0.0 ? pqMissVal(kx == KIND_I ? 'M' : 'I') : x;
    } else if (!x_missing) {
        *result = is_infinity_kind(ky) ? 0.0 : y;
    } else if (!is_infinity_kind(kx)) {
        *result = x;
    } else {
        // An infinity divided by an infinity has no value.
        *result = is_infinity_kind(ky) ? qv::MISSING_DOT : y;
    }
    return STATUS_OK;
}
