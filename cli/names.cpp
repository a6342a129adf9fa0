#include "names.hpp"

#include <algorithm>
#include <cctype>

#include "qvhost.h"

namespace qvcli {

bool same_letters(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
           });
}

std::string one_line(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string_view(&c, 1);
    return out;
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

namespace {

// The edit distance of a and b, letters in any case, when it is at most limit; else limit + 1.
// Only cells within limit of the diagonal can hold such a distance, so a row is 2 * limit + 1
// cells and a long name costs its length, not its length times the other's.
std::size_t distance(std::string_view a, std::string_view b, std::size_t limit) {
    auto same = [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
    };
    const std::size_t over = limit + 1, n = a.size(), m = b.size();
    if ((n > m ? n - m : m - n) > limit) return over;
    // Cell k of row i is column j = i + k - limit; the cell past the band stays over.
    const std::size_t width = 2 * limit + 1;
    std::vector<std::size_t> prev(width + 1, over), cur(width + 1, over);
    for (std::size_t k = limit; k < width && k - limit <= m; ++k) prev[k] = k - limit;
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t k = 0; k < width; ++k) {
            if (i + k < limit || i + k - limit > m) {
                cur[k] = over;
                continue;
            }
            const std::size_t j = i + k - limit;
            if (j == 0) {
                cur[k] = std::min(i, over);
                continue;
            }
            const std::size_t left = k > 0 ? cur[k - 1] + 1 : over;
            cur[k] = std::min({prev[k + 1] + 1, left, prev[k] + (same(a[i - 1], b[j - 1]) ? 0 : 1), over});
        }
        std::swap(prev, cur);
    }
    return prev[m + limit - n];
}

// Names other tools and languages use for what the package or the command line provides.
constexpr std::pair<const char *, const char *> SYNONYMS[] = {
    {"AVG", "MEAN"},          {"AVERAGE", "MEAN"},     {"LN", "LOG"},          {"POW", "the ** operator (x ** y)"},
    {"POWER", "the ** operator (x ** y)"},             {"STDDEV", "STD"},      {"STDEV", "STD"},
    {"SD", "STD"},            {"VARIANCE", "VAR"},     {"COUNT", "N"},         {"PERCENTILE", "PCTL"},
    {"QUANTILE", "PCTL"},     {"IF", "IFN"},           {"IIF", "IFN"},         {"CEILING", "CEIL"},
    {"NVL", "COALESCE"},      {"IFNULL", "COALESCE"},  {"ISNULL", "MISSING"},  {"ISNA", "MISSING"},
    {"ASIN", "ARSIN"},        {"ARCSIN", "ARSIN"},     {"ACOS", "ARCOS"},      {"ARCCOS", "ARCOS"},
    {"MINIMUM", "MIN"},       {"MAXIMUM", "MAX"},      {"TOTAL", "SUM"},       {"SUMSQ", "USS"},
};

}  // namespace

std::string nearest_name(std::string_view name, const std::vector<std::string_view> &candidates) {
    // Short names are close to too much: one slip for them, two for longer ones.
    const std::size_t reach = name.size() <= 4 ? 1 : 2;
    std::string best;
    std::size_t best_d = reach + 1;
    for (std::string_view c : candidates) {
        std::size_t d = distance(name, c, reach);
        // A name cut short is as good as a slip: "rain" for "rain_mm".
        if (name.size() >= 3 && name.size() < c.size() && same_letters(name, c.substr(0, name.size())))
            d = std::min(d, reach);
        if (d < best_d) {
            best_d = d;
            best = std::string(c);
        }
    }
    return best;
}

std::string suggest_function(std::string_view name) {
    for (const auto &[alias, meant] : SYNONYMS)
        if (same_letters(name, alias)) return meant;
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < qvh_function_count(); ++i) names.push_back(qvh_function_at(i)->name);
    names.push_back("IFN");  // the one call that is the command line's own
    return nearest_name(name, names);
}

const std::vector<OwnOperator> &own_operators() {
    static const std::vector<OwnOperator> ops = {
        {"+", "x + y", "sum; a missing operand gives .",
         "Adds two numbers. A missing operand gives . and a note; so do results that are no number (inf - inf)."},
        {"-", "x - y, -x", "difference, negation; a missing operand gives .",
         "Subtracts, or negates one number. A missing operand gives . and a note. A sign written before a "
         "number makes a negative number (-0 is negative zero), but ** binds tighter: -2 ** 2 is -4."},
        {"*", "x * y", "product; a missing operand gives .",
         "Multiplies two numbers. A missing operand gives . and a note; so does 0 * inf."},
        {"/", "x / y", "quotient; division by zero gives . with a note",
         "Divides x by y. A missing operand, or y equal to zero, gives . and a note."},
        {"**", "x ** y", "x to the power y",
         "Raises x to the power y; binds tighter than a sign on its left (-2 ** 2 is -4) and groups from the "
         "right (2 ** 3 ** 2 is 2 ** 9). A missing operand gives . and a note; so do 0 ** -1 (division by zero) "
         "and a negative x with a y that is not an integer."},
        {"=", "x = y, x == y", "1 when equal, else 0",
         "Compares two numbers or two character values. Missing values are ordered as ORDINAL orders them: "
         "below every number, ._ first, then ., then .A to .Z; each equals only itself. Character values "
         "compare by their bytes with trailing blanks ignored."},
        {"^=", "x ^= y, x != y", "1 when different, else 0", "The opposite of =."},
        {"<", "x < y, x <= y, x > y, x >= y", "1 when the order holds, else 0",
         "Orders numbers, or character values by their bytes with trailing blanks ignored; missing values "
         "come below every number, in the order ._, ., .A to .Z."},
        {"and", "x and y", "1 when both are true, else 0",
         "A value is true when it is a number other than zero; a missing value and zero are false. Both sides "
         "are evaluated; use IFN to keep a call from running."},
        {"or", "x or y", "1 when either is true, else 0", "Truth as for and. Both sides are evaluated."},
        {"not", "not x", "1 when x is false, else 0", "Truth as for and."},
        {"IFN", "IFN(condition, then, else)", "then when the condition is true, else else",
         "Evaluates the condition; when it is a number other than zero, evaluates and gives then, otherwise "
         "(zero or missing) evaluates and gives else. The branch not taken is not evaluated, so it adds no "
         "notes. then and else are both numbers or both character values."},
    };
    return ops;
}

const OwnOperator *find_own_operator(std::string_view name) {
    for (const OwnOperator &op : own_operators())
        if (same_letters(op.name, name)) return &op;
    // The other spellings of an operator lead to its entry.
    static const std::pair<const char *, const char *> spellings[] = {
        {"==", "="}, {"!=", "^="}, {"~=", "^="}, {"<=", "<"}, {">", "<"}, {">=", "<"}};
    for (const auto &[spelling, entry] : spellings)
        if (name == spelling) return find_own_operator(entry);
    return nullptr;
}

}  // namespace qvcli
