// The catalogue: what every surface knows about the package's functions before calling them.
// One entry per row of the package's table, in table order; the command line, the documents and
// the SQL registrations are all made from it.
#include "catalogue.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <string_view>

namespace qvhost {

namespace {

constexpr int ANY = QVH_ANY_COUNT;
constexpr int NUM = QVH_KIND_NUM;
constexpr int CHR = QVH_KIND_CHR;

constexpr unsigned OK = QVH_MAY_OK;
constexpr unsigned OK_MISS = QVH_MAY_OK | QVH_MAY_MISSING_ARG;
constexpr unsigned OK_MISS_INV = QVH_MAY_OK | QVH_MAY_MISSING_ARG | QVH_MAY_INVALID_ARG;
constexpr unsigned OK_INV = QVH_MAY_OK | QVH_MAY_INVALID_ARG;
constexpr unsigned OK_SCRATCH = QVH_MAY_OK | QVH_MAY_NO_SCRATCH;
constexpr unsigned OK_INV_SCRATCH = QVH_MAY_OK | QVH_MAY_INVALID_ARG | QVH_MAY_NO_SCRATCH;

constexpr const char *ELEMENTARY = "Elementary functions";
constexpr const char *ROUNDING = "Rounding and integer arithmetic";
constexpr const char *COUNTING = "Counting, coalescing and lookup";
constexpr const char *MOMENTS = "Sums, extremes and means";
constexpr const char *SPREAD = "Dispersion and shape";
constexpr const char *MEANS = "Geometric and harmonic means";
constexpr const char *ORDER = "Order statistics";
constexpr const char *SPECIAL = "Special functions";

// A function of one number.
constexpr qvh_info scalar(const char *name, const char *family, unsigned statuses, const char *usage,
                          const char *summary, const char *reference) {
    return {name, family, QVH_FORM_SCALAR, 1, 1, NUM, NUM, NUM, QVH_AGG_NONE, 0, statuses, 0, usage, summary, reference,
            QVH_FOLD_NONE, QVH_MERGE_NONE, ""};
}
// A list-form function of a fixed number of numbers.
constexpr qvh_info fixed(const char *name, const char *family, int min, int max, unsigned statuses, unsigned marks,
                         const char *usage, const char *summary, const char *reference) {
    return {name, family, QVH_FORM_LIST, min, max, NUM, NUM, NUM, QVH_AGG_NONE, 0, statuses, marks, usage, summary,
            reference, QVH_FOLD_NONE, QVH_MERGE_NONE, ""};
}
// A list-form function of any number of numbers; fold says how it is fed one value at a time.
constexpr qvh_info values(const char *name, const char *family, int fold, unsigned statuses, unsigned marks,
                          const char *usage, const char *summary, const char *reference) {
    const int aggregate = fold == QVH_FOLD_NONE ? QVH_AGG_NONE : fold == QVH_FOLD_VALUES ? QVH_AGG_VALUES : QVH_AGG_FIXED;
    return {name, family, QVH_FORM_LIST, 0, ANY, NUM, NUM, NUM, aggregate, 0, statuses, marks, usage, summary, reference,
            fold, QVH_MERGE_NONE, ""};
}
// A list-form statistic whose first argument is a parameter (a percentile or a rank).
constexpr qvh_info ranked(const char *name, const char *family, unsigned statuses, const char *usage,
                          const char *summary, const char *reference) {
    return {name, family, QVH_FORM_LIST, 1, ANY, NUM, NUM, NUM, QVH_AGG_VALUES, 1, statuses, 1, usage, summary, reference,
            QVH_FOLD_VALUES, QVH_MERGE_NONE, ""};
}

// An entry of the table, with how the window engine reads it when it is an order statistic or a
// summed statistic.
struct Entry {
    qvh_info info;
    OrderStat stat = OrderStat::None;
    int definition = 0;
    SumStat sum = SumStat::None;
    constexpr Entry(const qvh_info &f, OrderStat s = OrderStat::None, int d = 0, SumStat m = SumStat::None)
        : info(f), stat(s), definition(d), sum(m) {}
};
// An order statistic, read off a few ranks of a window's values.
constexpr Entry order(OrderStat stat, const qvh_info &f) { return Entry(f, stat); }
// A percentile under a definition, read off the ranks its plan names.
constexpr Entry percentile(int definition, const qvh_info &f) { return Entry(f, OrderStat::Pctl, definition); }
// A statistic finished from the sums of its values, which windows take many at once.
constexpr Entry summed(SumStat sum, const qvh_info &f) { return Entry(f, OrderStat::None, 0, sum); }

// The families in the order the reference presents them.
constexpr const char *FAMILIES[] = {ELEMENTARY, ROUNDING, COUNTING, MOMENTS, SPREAD, MEANS, ORDER, SPECIAL};

// The package's source file of each function, in table order (the file that defines its entry point).
struct Source {
    const char *name;
    const char *file;
};
constexpr Source SOURCES[] = {
    {"ABS", "package/fnc/qvfncabs.cpp"},
    {"ARCOS", "package/fnc/qvfncabs.cpp"},
    {"ARSIN", "package/fnc/qvfncabs.cpp"},
    {"ATAN", "package/fnc/qvfncabs.cpp"},
    {"ATAN2", "package/fnc/qvfncabs.cpp"},
    {"CEIL", "package/fnc/qvfncceil.cpp"},
    {"CEILZ", "package/fnc/qvfncceil.cpp"},
    {"COALESCE", "package/fnc/qvfncn.cpp"},
    {"COALESCEC", "package/fnc/qvfncn.cpp"},
    {"COS", "package/fnc/qvfncabs.cpp"},
    {"COSH", "package/fnc/qvfncabs.cpp"},
    {"CSS", "package/fnc/qvfnccss.cpp"},
    {"CV", "package/fnc/qvfnccss.cpp"},
    {"DIGAMMA", "package/fnc/qvfncgam.cpp"},
    {"DIVIDE", "package/fnc/qvfncmod.cpp"},
    {"EXP", "package/fnc/qvfncabs.cpp"},
    {"FLOOR", "package/fnc/qvfncceil.cpp"},
    {"FLOORZ", "package/fnc/qvfncceil.cpp"},
    {"FUZZ", "package/fnc/qvfncceil.cpp"},
    {"GAMMA", "package/fnc/qvfncgam.cpp"},
    {"GCD", "package/fnc/qvfncgcd.cpp"},
    {"GEOMEAN", "package/fnc/qvfncgeom.cpp"},
    {"GEOMEANZ", "package/fnc/qvfncgeom.cpp"},
    {"HARMEAN", "package/fnc/qvfncgeom.cpp"},
    {"HARMEANZ", "package/fnc/qvfncgeom.cpp"},
    {"INT", "package/fnc/qvfncceil.cpp"},
    {"INTZ", "package/fnc/qvfncceil.cpp"},
    {"IQR", "package/fnc/qvfncpctl.cpp"},
    {"KURTOSIS", "package/fnc/qvfnccss.cpp"},
    {"LARGEST", "package/fnc/qvfnclarg.cpp"},
    {"LCM", "package/fnc/qvfncgcd.cpp"},
    {"LGAMMA", "package/fnc/qvfncgam.cpp"},
    {"LOG", "package/fnc/qvfncabs.cpp"},
    {"LOG10", "package/fnc/qvfncabs.cpp"},
    {"LOG2", "package/fnc/qvfncabs.cpp"},
    {"MAD", "package/fnc/qvfncpctl.cpp"},
    {"MAX", "package/fnc/qvfncsum.cpp"},
    {"MEAN", "package/fnc/qvfncsum.cpp"},
    {"MEDIAN", "package/fnc/qvfncpctl.cpp"},
    {"MIN", "package/fnc/qvfncsum.cpp"},
    {"MISSING", "package/fnc/qvfncn.cpp"},
    {"MOD", "package/fnc/qvfncmod.cpp"},
    {"MODZ", "package/fnc/qvfncmod.cpp"},
    {"N", "package/fnc/qvfncn.cpp"},
    {"NMISS", "package/fnc/qvfncn.cpp"},
    {"ORDINAL", "package/fnc/qvfncord.cpp"},
    {"ORDINAL2", ""},
    {"PCTL", "package/fnc/qvfncpctl.cpp"},
    {"PCTL1", "package/fnc/qvfncpctl.cpp"},
    {"PCTL2", "package/fnc/qvfncpctl.cpp"},
    {"PCTL3", "package/fnc/qvfncpctl.cpp"},
    {"PCTL4", "package/fnc/qvfncpctl.cpp"},
    {"PCTL5", "package/fnc/qvfncpctl.cpp"},
    {"RANGE", "package/fnc/qvfncsum.cpp"},
    {"RECIP", "package/fnc/qvfncabs.cpp"},
    {"RMS", "package/fnc/qvfncsum.cpp"},
    {"ROUND", "package/fnc/qvfncrnd.cpp"},
    {"ROUNDE", "package/fnc/qvfncrnd.cpp"},
    {"ROUNDZ", "package/fnc/qvfncrnd.cpp"},
    {"SIGN", "package/fnc/qvfncabs.cpp"},
    {"SIN", "package/fnc/qvfncabs.cpp"},
    {"SINH", "package/fnc/qvfncabs.cpp"},
    {"SKEWNESS", "package/fnc/qvfnccss.cpp"},
    {"SMALLEST", "package/fnc/qvfnclarg.cpp"},
    {"SQRT", "package/fnc/qvfncabs.cpp"},
    {"STD", "package/fnc/qvfnccss.cpp"},
    {"STDERR", "package/fnc/qvfnccss.cpp"},
    {"SUM", "package/fnc/qvfncsum.cpp"},
    {"TAN", "package/fnc/qvfncabs.cpp"},
    {"TANH", "package/fnc/qvfncabs.cpp"},
    {"TRIGAMMA", "package/fnc/qvfncgam.cpp"},
    {"TRUNC", "package/fnc/qvfncceil.cpp"},
    {"USS", "package/fnc/qvfncsum.cpp"},
    {"VAR", "package/fnc/qvfnccss.cpp"},
    {"WHICHC", "package/fnc/qvfncn.cpp"},
    {"WHICHN", "package/fnc/qvfncn.cpp"},
};

// How partial states merge follows from how the statistic is folded: counts and extremes merge
// their fixed states exactly; a folded sum is rounded, so sums and means merge only kept values.
constexpr int merge_of(int fold) {
    switch (fold) {
        case QVH_FOLD_NONE: return QVH_MERGE_NONE;
        case QVH_FOLD_COUNT:
        case QVH_FOLD_EXTREME:
        case QVH_FOLD_RANGE: return QVH_MERGE_FIXED;
        default: return QVH_MERGE_VALUES;
    }
}

constexpr bool same_text(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) ++a, ++b;
    return *a == *b;
}

constexpr Entry ENTRIES[] = {
#include "catalogue_functions.inc"
};
static_assert(std::size(ENTRIES) == std::size(SOURCES));

// The entries with the fields made from others: the merge kind and the source file.
constexpr auto complete() {
    std::array<qvh_info, std::size(ENTRIES)> t{};
    for (std::size_t i = 0; i < t.size(); ++i) {
        t[i] = ENTRIES[i].info;
        t[i].merge = merge_of(ENTRIES[i].info.fold);
        t[i].source = same_text(SOURCES[i].name, ENTRIES[i].info.name) ? SOURCES[i].file : nullptr;
    }
    return t;
}

constexpr std::array<qvh_info, std::size(ENTRIES)> FUNCTIONS = complete();
static_assert([] {
    for (const qvh_info &f : FUNCTIONS)
        if (f.source == nullptr) return false;
    return true;
}(), "SOURCES follows the table's order");

constexpr qvh_routine_info ROUTINES[] = {
#include "catalogue_routines.inc"
};

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::span<const qvh_info> functions() { return FUNCTIONS; }
std::span<const qvh_routine_info> routines() { return ROUTINES; }
std::span<const char *const> families() { return FAMILIES; }

const char *sql_name(std::size_t index) {
    // "qv_" and the name in lower case, made once.
    static const auto names = [] {
        std::array<std::array<char, 24>, std::size(FUNCTIONS)> t{};
        for (std::size_t i = 0; i < t.size(); ++i) {
            std::size_t k = 0;
            for (const char *c = "qv_"; *c != '\0'; ++c) t[i][k++] = *c;
            for (const char *c = FUNCTIONS[i].name; *c != '\0' && k + 1 < t[i].size(); ++c)
                t[i][k++] = static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        }
        return t;
    }();
    return index < names.size() ? names[index].data() : "";
}

OrderStat order_stat_of(const qvh_info &info, int &definition) noexcept {
    const Entry &e = ENTRIES[index_of(info)];
    definition = e.definition;
    return e.stat;
}

SumStat sum_stat_of(const qvh_info &info) noexcept { return ENTRIES[index_of(info)].sum; }

const qvh_info *find_function(std::string_view name) {
    auto it = std::find_if(std::begin(FUNCTIONS), std::end(FUNCTIONS),
                           [&](const qvh_info &f) { return same_name(f.name, name); });
    return it == std::end(FUNCTIONS) ? nullptr : &*it;
}

}  // namespace qvhost
