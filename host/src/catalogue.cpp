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
            QVH_FOLD_NONE};
}
// A list-form function of a fixed number of numbers.
constexpr qvh_info fixed(const char *name, const char *family, int min, int max, unsigned statuses, unsigned marks,
                         const char *usage, const char *summary, const char *reference) {
    return {name, family, QVH_FORM_LIST, min, max, NUM, NUM, NUM, QVH_AGG_NONE, 0, statuses, marks, usage, summary,
            reference, QVH_FOLD_NONE};
}
// A list-form function of any number of numbers; fold says how it is fed one value at a time.
constexpr qvh_info values(const char *name, const char *family, int fold, unsigned statuses, unsigned marks,
                          const char *usage, const char *summary, const char *reference) {
    const int aggregate = fold == QVH_FOLD_NONE ? QVH_AGG_NONE : fold == QVH_FOLD_VALUES ? QVH_AGG_VALUES : QVH_AGG_FIXED;
    return {name, family, QVH_FORM_LIST, 0, ANY, NUM, NUM, NUM, aggregate, 0, statuses, marks, usage, summary, reference,
            fold};
}
// A list-form statistic whose first argument is a parameter (a percentile or a rank).
constexpr qvh_info ranked(const char *name, const char *family, unsigned statuses, const char *usage,
                          const char *summary, const char *reference) {
    return {name, family, QVH_FORM_LIST, 1, ANY, NUM, NUM, NUM, QVH_AGG_VALUES, 1, statuses, 1, usage, summary, reference,
            QVH_FOLD_VALUES};
}

// The families in the order the reference presents them.
constexpr const char *FAMILIES[] = {ELEMENTARY, ROUNDING, COUNTING, MOMENTS, SPREAD, MEANS, ORDER, SPECIAL};

constexpr qvh_info FUNCTIONS[] = {
#include "catalogue_functions.inc"
};

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

const qvh_info *find_function(std::string_view name) {
    auto it = std::find_if(std::begin(FUNCTIONS), std::end(FUNCTIONS),
                           [&](const qvh_info &f) { return same_name(f.name, name); });
    return it == std::end(FUNCTIONS) ? nullptr : &*it;
}

}  // namespace qvhost
