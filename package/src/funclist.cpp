// The function table: 76 named rows in ascending order of their nine-character names (compared
// as unsigned 32-bit characters, the blank first) and a blank end row. The host finds functions
// by name in its instance's copy; this static table is never modified.
#include "qv/export.hpp"
#include "qvfnc.h"

namespace {

template <unsigned N>
constexpr FuncTableRow row(const char (&name)[N], QvEntry entry) {
    static_assert(N - 1 <= QV_NAME_CHARS, "names have at most nine characters");
    FuncTableRow r{};
    for (unsigned i = 0; i < QV_NAME_CHARS; ++i) r.name[i] = i + 1 < N ? static_cast<unsigned char>(name[i]) : U' ';
    r.entry = entry;
    return r;
}

constexpr QvEntry S(QvScalarFn f) { return QvEntry{.scalar = f}; }
constexpr QvEntry L(QvListFn f) { return QvEntry{.list = f}; }
constexpr QvEntry C(QvCharListFn f) { return QvEntry{.charList = f}; }
constexpr QvEntry NONE = QvEntry{.scalar = nullptr};

}  // namespace

QV_EXPORT const FuncTableRow funclist[QV_TABLE_ROWS] = {
    row("ABS", S(qvfncabs)),         row("ARCOS", S(qvfncacos)),     row("ARSIN", S(qvfncasin)),
    row("ATAN", S(qvfncatan)),       row("ATAN2", L(qvfncata2)),     row("CEIL", S(qvfncceil)),
    row("CEILZ", S(qvfncceilz)),     row("COALESCE", L(qvfnccoal)),  row("COALESCEC", C(qvfnccoac)),
    row("COS", S(qvfnccos)),         row("COSH", S(qvfnccosh)),      row("CSS", L(qvfnccss)),
    row("CV", L(qvfnccv)),           row("DIGAMMA", S(qvfncdgam)),   row("DIVIDE", L(qvfncdiv)),
    row("EXP", S(qvfncexp)),         row("FLOOR", S(qvfncflr)),      row("FLOORZ", S(qvfncflrz)),
    row("FUZZ", S(qvfncfuzz)),       row("GAMMA", S(qvfncgam)),      row("GCD", L(qvfncgcd)),
    row("GEOMEAN", L(qvfncgeom)),    row("GEOMEANZ", L(qvfncgeoz)),  row("HARMEAN", L(qvfncharm)),
    row("HARMEANZ", L(qvfncharz)),   row("INT", S(qvfncint)),        row("INTZ", S(qvfncintz)),
    row("IQR", L(qvfnciqr)),         row("KURTOSIS", L(qvfnckurt)),  row("LARGEST", L(qvfnclarg)),
    row("LCM", L(qvfnclcm)),         row("LGAMMA", S(qvfnclgam)),    row("LOG", S(qvfnclg)),
    row("LOG10", S(qvfnclg10)),      row("LOG2", S(qvfnclg2)),       row("MAD", L(qvfncmad)),
    row("MAX", L(qvfncmax)),         row("MEAN", L(qvfncmean)),      row("MEDIAN", L(qvfncmed)),
    row("MIN", L(qvfncmin)),         row("MISSING", L(qvfncmis)),    row("MOD", L(qvfncmod)),
    row("MODZ", L(qvfncmodz)),       row("N", L(qvfncn)),            row("NMISS", L(qvfncnmis)),
    row("ORDINAL", L(qvfncord)),     row("ORDINAL2", NONE),          row("PCTL", L(qvfncpctl)),
    row("PCTL1", L(qvfncpctl1)),     row("PCTL2", L(qvfncpctl2)),    row("PCTL3", L(qvfncpctl3)),
    row("PCTL4", L(qvfncpctl4)),     row("PCTL5", L(qvfncpctl)),     row("RANGE", L(qvfncrang)),
    row("RECIP", S(qvfncrcp)),       row("RMS", L(qvfncrms)),        row("ROUND", L(qvfncrnd)),
    row("ROUNDE", L(qvfncrnde)),     row("ROUNDZ", L(qvfncrndz)),    row("SIGN", S(qvfncsign)),
    row("SIN", S(qvfncsin)),         row("SINH", S(qvfncsinh)),      row("SKEWNESS", L(qvfncskew)),
    row("SMALLEST", L(qvfncsmal)),   row("SQRT", S(qvfncsqrt)),      row("STD", L(qvfncstd)),
    row("STDERR", L(qvfncstde)),     row("SUM", L(qvfncsum)),        row("TAN", S(qvfnctan)),
    row("TANH", S(qvfnctanh)),       row("TRIGAMMA", S(qvfnctgam)),  row("TRUNC", L(qvfnctrnc)),
    row("USS", L(qvfncuss)),         row("VAR", L(qvfncvar)),        row("WHICHC", L(qvfncwhich)),
    row("WHICHN", L(qvfncwhin)),     row("", NONE),
};
