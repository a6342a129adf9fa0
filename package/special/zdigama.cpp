// Digamma and the digamma difference. Digamma's evaluation is qv::digamma in qv/specialfn.hpp
// (reflection below 0.5, the recurrence into [1, 2] with a rational approximation about the
// positive zero for arguments below 20, and the asymptotic series above): the table function
// DIGAMMA (fnc/qvfncgam.cpp) expands it in line, and zdigama and zdigamadiff call it, so all
// three give the same bits from one copy of the code. The difference is this file's own: for
// large close arguments it subtracts the two asymptotic series term by term.
#include <algorithm>
#include <cmath>

#include "qv/export.hpp"
#include "qv/specialfn.hpp"
#include "qv/values.hpp"

namespace {

constexpr double CLOSE_LIMIT = 1000.0;

}  // namespace

QV_EXPORT int zdigama(double *result, double x) {
    *result = 0.0;
    double value;
    if (!qv::digamma(x, value)) {
        *result = qv::MISSING_DOT;
        return 1;
    }
    *result = value;
    return 0;
}

// psi(a) - psi(b). When the larger argument is above 20 and the two are less than 1000 apart,
// the smaller is first raised by the recurrence to within 1 of the larger and the asymptotic
// series are subtracted term by term, the logarithms as ln(1 + (lo - hi) / hi), so nothing
// cancels; otherwise the two digamma values are subtracted.
QV_EXPORT int zdigamadiff(double *result, double a, double b) {
    const bool swapped = a > b;
    double lo = swapped ? b : a;
    const double hi = swapped ? a : b;
    double value;
    if (hi > qv::PSI_SERIES_FROM && hi - lo < CLOSE_LIMIT) {
        double acc = 0.0;
        double d = hi - lo;
        // From 2^53 on lo + 1 may round back to lo; the series needs no further step there.
        while (d > 1.0 && lo + 1.0 != lo) {
            acc = acc - 1.0 / lo;
            lo = lo + 1.0;
            d = hi - lo;
        }
        const double rlo = 1.0 / lo;
        const double w1 = rlo * rlo;
        const double rhi = 1.0 / hi;
        const double w2 = rhi * rhi;
        const double ln_ratio = zln1px((lo - hi) / hi);
        const double halves = ((d * 0.5) / lo) / hi;
        value = w2 * qv::horner(qv::PSI_ASYMPTOTIC, w2) +
                ((acc + (ln_ratio - halves)) - w1 * qv::horner(qv::PSI_ASYMPTOTIC, w1));
    } else {
        *result = 0.0;
        double psi_lo;
        double psi_hi;
        if (!qv::digamma(lo, psi_lo) || !qv::digamma(hi, psi_hi)) return 1;
        value = psi_lo - psi_hi;
    }
    if (swapped) value = value * (-1.0);
    *result = value;
    return 0;
}
