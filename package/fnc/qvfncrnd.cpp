// Rounding to a multiple of a unit. The quotient q = |x| / unit is rounded to a count n of
// units, which is scaled back and given the sign of x. ROUND and ROUNDE treat a quotient within
// a small relative fuzz of a half as a half and then snap the scaled value so that decimal units
// give the double nearest the decimal answer; ROUNDZ does neither.
#include <bit>
#include <cmath>

#include "qv/args.hpp"
#include "qv/export.hpp"
#include "qv/fuzz.hpp"
#include "qv/rounding.hpp"
#include "qv/roundunit.hpp"
#include "qv/status.hpp"

namespace {

using namespace qv::unit_round;
using qv::fail;
using qv::int_part;
using qv::min_of;

enum class Halves { away_fuzzed, even_fuzzed, even_exact };

// ROUND's count past 2^49, where the fuzz is below the spacing of doubles, so the fraction decides
// alone (halves away from zero); from 2^53 on every quotient is an integer and x comes back.
inline bool count_away_past(double q, double &n) {
    if (q >= qv::TWO_53) return false;
    const double f = std::fmod(q, 1.0);
    n = q - f;
    if (f >= 0.5) n = 1.0 + n;
    return true;
}

// ROUNDE and ROUNDZ: halves (within e) go to the even neighbour.
inline double count_even(double q, double e) {
    const double fl = int_part(q);
    const double d = q - fl;
    if ((-e) + 0.5 > d) return fl;
    if (d > e + 0.5) return fl + 1.0;
    const double odd = fl < qv::INT32_LIMIT ? static_cast<double>(qv::to_i32(fl) % 2) : std::fmod(fl, 2.0);
    return fl + odd;
}

inline double scale_back_exact(double n, double unit) {
    if (unit == 1.0) return n;
    if (unit == HUNDREDTH) return n / 100.0;
    if (unit > 1.0) return n * unit;
    double k;
    return reciprocal_of_integer(unit, k) ? n / k : n * unit;
}

template <Halves H>
QvStatus round_to_unit(FuncArgList *args, double *result) {
    const qv::ArgView a(args);
    const double x = a.num(0);
    if (qv::is_missing(x)) return fail(result, STATUS_MISSING_ARG);
    double unit = 1.0;
    double q = qv::clear_sign(x);
    if (a.count64() != 1) {
        unit = a.num(1);
        if (qv::is_missing(unit)) return fail(result, STATUS_MISSING_ARG);
        // A NaN unit passes and makes the result a NaN.
        if (unit < SMALLEST_UNIT) {
            a.mark_invalid(1);
            return fail(result, STATUS_INVALID_ARG);
        }
        if (NEGLIGIBLE_UNIT_RATIO * qv::clear_sign(x) > unit) {
            *result = x;
            return STATUS_OK;
        }
        q = q / unit;
    }
    double n;
    double r;
    if constexpr (H == Halves::away_fuzzed) {
        if (!(q > TWO_49)) {  // also a NaN quotient
            *result = round_within(x, q, unit);
            return STATUS_OK;
        }
        if (!count_away_past(q, n)) {
            *result = x;
            return STATUS_OK;
        }
        r = scale_back_cleaned(n, unit);
    } else if constexpr (H == Halves::even_fuzzed) {
        n = count_even(q, min_of(q * HALF_FUZZ, qv::FUZZ_CAP));
        r = scale_back_cleaned(n, unit);
    } else {
        n = count_even(q, 0.0);
        r = scale_back_exact(n, unit);
    }
    // A negative x that rounds to zero gives +0.0.
    *result = x < 0.0 ? 0.0 - r : r;
    return STATUS_OK;
}

}  // namespace

QV_EXPORT QvStatus qvfncrnd(FuncArgList *args, double *result) {
    return round_to_unit<Halves::away_fuzzed>(args, result);
}

QV_EXPORT QvStatus qvfncrnde(FuncArgList *args, double *result) {
    return round_to_unit<Halves::even_fuzzed>(args, result);
}

QV_EXPORT QvStatus qvfncrndz(FuncArgList *args, double *result) {
    return round_to_unit<Halves::even_exact>(args, result);
}
