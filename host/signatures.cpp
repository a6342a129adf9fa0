#include "signatures.hpp"

#include <algorithm>
#include <iterator>

namespace qvhost {

namespace {

constexpr int ANY = -1;

constexpr Signature scalar(std::string_view name, std::string_view usage) {
    return {name, Form::Scalar, 1, 1, Kind::Num, Kind::Num, usage};
}
constexpr Signature values(std::string_view name, std::string_view usage, int min = 0) {
    return {name, Form::List, min, ANY, Kind::Num, Kind::Num, usage};
}
constexpr Signature fixed(std::string_view name, int min, int max, std::string_view usage) {
    return {name, Form::List, min, max, Kind::Num, Kind::Num, usage};
}

constexpr Signature SIGNATURES[] = {
    scalar("ABS", "ABS(x): absolute value"),
    scalar("ARCOS", "ARCOS(x): arc cosine, -1 <= x <= 1"),
    scalar("ARSIN", "ARSIN(x): arc sine, -1 <= x <= 1"),
    scalar("ATAN", "ATAN(x): arc tangent"),
    fixed("ATAN2", 2, 2, "ATAN2(y, x): arc tangent of y/x in the right quadrant"),
    scalar("CEIL", "CEIL(x): smallest integer >= x, with fuzz"),
    scalar("CEILZ", "CEILZ(x): smallest integer >= x, exact"),
    values("COALESCE", "COALESCE(x1, ...): first non-missing value"),
    {"COALESCEC", Form::CharResult, 0, ANY, Kind::Chr, Kind::Chr, "COALESCEC(s1, ...): first non-blank string"},
    scalar("COS", "COS(x): cosine"),
    scalar("COSH", "COSH(x): hyperbolic cosine"),
    values("CSS", "CSS(x1, ...): corrected sum of squares"),
    values("CV", "CV(x1, ...): coefficient of variation, percent"),
    scalar("DIGAMMA", "DIGAMMA(x): derivative of ln gamma"),
    fixed("DIVIDE", 2, 2, "DIVIDE(x, y): x / y, .I and .M for overflow"),
    scalar("EXP", "EXP(x): e to the power x"),
    scalar("FLOOR", "FLOOR(x): largest integer <= x, with fuzz"),
    scalar("FLOORZ", "FLOORZ(x): largest integer <= x, exact"),
    scalar("FUZZ", "FUZZ(x): nearest integer when within 1e-12, else x"),
    scalar("GAMMA", "GAMMA(x): gamma function"),
    values("GCD", "GCD(x1, x2, ...): greatest common divisor"),
    values("GEOMEAN", "GEOMEAN(x1, ...): geometric mean, with fuzz"),
    values("GEOMEANZ", "GEOMEANZ(x1, ...): geometric mean, exact"),
    values("HARMEAN", "HARMEAN(x1, ...): harmonic mean, with fuzz"),
    values("HARMEANZ", "HARMEANZ(x1, ...): harmonic mean, exact"),
    scalar("INT", "INT(x): integer part, with fuzz"),
    scalar("INTZ", "INTZ(x): integer part, exact"),
    values("IQR", "IQR(x1, ...): interquartile range"),
    values("KURTOSIS", "KURTOSIS(x1, ...): excess kurtosis"),
    values("LARGEST", "LARGEST(k, x1, ...): k-th largest value", 1),
    values("LCM", "LCM(x1, x2, ...): least common multiple"),
    scalar("LGAMMA", "LGAMMA(x): natural log of gamma, x > 0"),
    scalar("LOG", "LOG(x): natural logarithm, x > 0"),
    scalar("LOG10", "LOG10(x): base-10 logarithm, x > 0"),
    scalar("LOG2", "LOG2(x): base-2 logarithm, x > 0"),
    values("MAD", "MAD(x1, ...): median absolute deviation"),
    values("MAX", "MAX(x1, ...): largest value"),
    values("MEAN", "MEAN(x1, ...): arithmetic mean"),
    values("MEDIAN", "MEDIAN(x1, ...): median"),
    values("MIN", "MIN(x1, ...): smallest value"),
    {"MISSING", Form::List, 1, 1, Kind::Any, Kind::Any, "MISSING(x or 'text'): 1 when missing or blank"},
    fixed("MOD", 2, 3, "MOD(x, y [, fuzz]): remainder with fuzz"),
    fixed("MODZ", 2, 2, "MODZ(x, y): remainder, exact"),
    values("N", "N(x1, ...): number of non-missing values"),
    values("NMISS", "NMISS(x1, ...): number of missing values"),
    values("ORDINAL", "ORDINAL(k, x1, ...): k-th smallest, missing values first", 1),
    values("ORDINAL2", "ORDINAL2: not available in this package", 1),
    values("PCTL", "PCTL(p, x1, ...): p-th percentile (definition 5)", 1),
    values("PCTL1", "PCTL1(p, x1, ...): p-th percentile, definition 1", 1),
    values("PCTL2", "PCTL2(p, x1, ...): p-th percentile, definition 2", 1),
    values("PCTL3", "PCTL3(p, x1, ...): p-th percentile, definition 3", 1),
    values("PCTL4", "PCTL4(p, x1, ...): p-th percentile, definition 4", 1),
    values("PCTL5", "PCTL5(p, x1, ...): p-th percentile, definition 5", 1),
    values("RANGE", "RANGE(x1, ...): largest minus smallest"),
    scalar("RECIP", "RECIP(x): 1 / x"),
    values("RMS", "RMS(x1, ...): root mean square"),
    fixed("ROUND", 1, 2, "ROUND(x [, unit]): round, halves away from zero"),
    fixed("ROUNDE", 1, 2, "ROUNDE(x [, unit]): round, halves to even"),
    fixed("ROUNDZ", 1, 2, "ROUNDZ(x [, unit]): round, halves to even, no fuzz"),
    scalar("SIGN", "SIGN(x): -1, 0 or 1"),
    scalar("SIN", "SIN(x): sine"),
    scalar("SINH", "SINH(x): hyperbolic sine"),
    values("SKEWNESS", "SKEWNESS(x1, ...): skewness"),
    values("SMALLEST", "SMALLEST(k, x1, ...): k-th smallest value", 1),
    scalar("SQRT", "SQRT(x): square root, x >= 0"),
    values("STD", "STD(x1, ...): standard deviation"),
    values("STDERR", "STDERR(x1, ...): standard error of the mean"),
    values("SUM", "SUM(x1, ...): sum"),
    scalar("TAN", "TAN(x): tangent"),
    scalar("TANH", "TANH(x): hyperbolic tangent"),
    scalar("TRIGAMMA", "TRIGAMMA(x): derivative of digamma"),
    fixed("TRUNC", 2, 2, "TRUNC(x, length): x kept to length (3 to 8) bytes"),
    values("USS", "USS(x1, ...): uncorrected sum of squares"),
    values("VAR", "VAR(x1, ...): variance"),
    {"WHICHC", Form::List, 1, ANY, Kind::Chr, Kind::Chr, "WHICHC('v', 's1', ...): position of the first si equal to v"},
    values("WHICHN", "WHICHN(v, x1, ...): position of the first xi equal to v", 1),
};

}  // namespace

const Signature *find_signature(std::string_view upper_name) {
    auto it = std::find_if(std::begin(SIGNATURES), std::end(SIGNATURES),
                           [&](const Signature &s) { return s.name == upper_name; });
    return it == std::end(SIGNATURES) ? nullptr : &*it;
}

const Signature *signatures_begin() { return std::begin(SIGNATURES); }
const Signature *signatures_end() { return std::end(SIGNATURES); }

}  // namespace qvhost
