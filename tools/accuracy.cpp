// Accuracy of GAMMA, LGAMMA, DIGAMMA and TRIGAMMA (the routines zgamma, zlgamma, zdigama,
// ztigama) in ulps against a 256-bit MPFR reference, beside the C library's tgamma and lgamma,
// over fixed ranges of random arguments. Prints the Markdown table of docs/accuracy.md.
//
// Built as the target accuracy where MPFR (libmpfr-dev) is found:
//   build/accuracy [samples per range]   prints the table
//   build/accuracy check|update FILE     compares the table in FILE with the one measured, or
//                                        writes it in (the test accuracy_md_current and the
//                                        target update-docs, on docs/accuracy.md)
#include <mpfr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qvfnc.h"

namespace {

constexpr mpfr_prec_t PREC = 256;
// The arguments per range of the table in docs/accuracy.md: enough to meet each range's worst
// cases, few enough for a test (a few seconds).
constexpr int DOC_SAMPLES = 5000;

constexpr unsigned BERNOULLI_TERMS = 40;

// B2k = (-1)^(k+1) 2 (2k)! zeta(2k) / (2 pi)^(2k), for k = 1 .. BERNOULLI_TERMS, made once.
struct Bernoulli {
    mpfr_t b[BERNOULLI_TERMS + 1];
    Bernoulli() {
        mpfr_t f, tp;
        mpfr_inits2(PREC, f, tp, static_cast<mpfr_ptr>(nullptr));
        for (unsigned k = 1; k <= BERNOULLI_TERMS; ++k) {
            mpfr_init2(b[k], PREC);
            mpfr_zeta_ui(b[k], 2 * k, MPFR_RNDN);
            mpfr_fac_ui(f, 2 * k, MPFR_RNDN);
            mpfr_mul(b[k], b[k], f, MPFR_RNDN);
            mpfr_mul_ui(b[k], b[k], 2, MPFR_RNDN);
            mpfr_const_pi(tp, MPFR_RNDN);
            mpfr_mul_ui(tp, tp, 2, MPFR_RNDN);
            mpfr_pow_ui(tp, tp, 2 * k, MPFR_RNDN);
            mpfr_div(b[k], b[k], tp, MPFR_RNDN);
            if (k % 2 == 0) mpfr_neg(b[k], b[k], MPFR_RNDN);
        }
        mpfr_clears(f, tp, static_cast<mpfr_ptr>(nullptr));
    }
    ~Bernoulli() {
        for (unsigned k = 1; k <= BERNOULLI_TERMS; ++k) mpfr_clear(b[k]);
    }
};

mpfr_srcptr bernoulli(unsigned k) {
    static const Bernoulli table;
    return table.b[k];
}

// psi1(x) for x >= 0.5: sum of 1/(x + k)^2 up to t = x + n >= 64, then
// 1/t + 1/(2t^2) + sum of B2k / t^(2k+1); below 0.5 the reflection pi^2 / sin^2(pi x) - psi1(1 - x).
void trigamma_ref(mpfr_t out, double x) {
    mpfr_t t, s, term, pw, b;
    mpfr_inits2(PREC, t, s, term, pw, b, static_cast<mpfr_ptr>(nullptr));
    if (x < 0.5) {
        mpfr_set_d(t, x, MPFR_RNDN);
        mpfr_sinpi(term, t, MPFR_RNDN);
        mpfr_sqr(term, term, MPFR_RNDN);
        mpfr_const_pi(s, MPFR_RNDN);
        mpfr_sqr(s, s, MPFR_RNDN);
        mpfr_div(s, s, term, MPFR_RNDN);
        mpfr_ui_sub(t, 1, t, MPFR_RNDN);
        trigamma_ref(term, mpfr_get_d(t, MPFR_RNDN));  // 1 - x is exact for the x sampled here
        mpfr_sub(out, s, term, MPFR_RNDN);
        mpfr_clears(t, s, term, pw, b, static_cast<mpfr_ptr>(nullptr));
        return;
    }
    mpfr_set_d(t, x, MPFR_RNDN);
    mpfr_set_zero(s, 1);
    while (mpfr_cmp_ui(t, 64) < 0) {
        mpfr_sqr(term, t, MPFR_RNDN);
        mpfr_ui_div(term, 1, term, MPFR_RNDN);
        mpfr_add(s, s, term, MPFR_RNDN);
        mpfr_add_ui(t, t, 1, MPFR_RNDN);
    }
    mpfr_ui_div(term, 1, t, MPFR_RNDN);  // 1/t
    mpfr_add(s, s, term, MPFR_RNDN);
    mpfr_sqr(pw, term, MPFR_RNDN);  // 1/t^2
    mpfr_div_ui(b, pw, 2, MPFR_RNDN);
    mpfr_add(s, s, b, MPFR_RNDN);
    mpfr_mul(pw, pw, term, MPFR_RNDN);  // 1/t^3
    mpfr_sqr(term, term, MPFR_RNDN);    // 1/t^2, the step between odd powers
    for (unsigned k = 1; k <= BERNOULLI_TERMS; ++k) {
        mpfr_mul(b, bernoulli(k), pw, MPFR_RNDN);
        mpfr_add(s, s, b, MPFR_RNDN);
        mpfr_mul(pw, pw, term, MPFR_RNDN);
    }
    mpfr_set(out, s, MPFR_RNDN);
    mpfr_clears(t, s, term, pw, b, static_cast<mpfr_ptr>(nullptr));
}

using Reference = std::function<void(mpfr_t, double)>;
using Candidate = std::function<double(double)>;

void mpfr_fn(mpfr_t out, double x, int (*f)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t)) {
    mpfr_t in;
    mpfr_init2(in, 64);
    mpfr_set_d(in, x, MPFR_RNDN);
    f(out, in, MPFR_RNDN);
    mpfr_clear(in);
}

// |y - ref| in units of the last place of the double nearest ref.
double ulp_error(double y, mpfr_t ref) {
    const double r = mpfr_get_d(ref, MPFR_RNDN);
    if (!std::isfinite(y) || r == 0.0) return y == r ? 0.0 : INFINITY;
    const int e = std::max(std::ilogb(r) - 52, -1074);
    mpfr_t d;
    mpfr_init2(d, PREC);
    mpfr_set_d(d, y, MPFR_RNDN);
    mpfr_sub(d, d, ref, MPFR_RNDN);
    mpfr_abs(d, d, MPFR_RNDN);
    mpfr_mul_2si(d, d, -e, MPFR_RNDN);
    const double err = mpfr_get_d(d, MPFR_RNDN);
    mpfr_clear(d);
    return err;
}

struct Stats {
    double max = 0.0, median = 0.0;
};

Stats measure(const std::vector<double> &xs, const Reference &ref, const Candidate &f) {
    std::vector<double> errs;
    mpfr_t r;
    mpfr_init2(r, PREC);
    for (double x : xs) {
        ref(r, x);
        errs.push_back(ulp_error(f(x), r));
    }
    mpfr_clear(r);
    std::nth_element(errs.begin(), errs.begin() + errs.size() / 2, errs.end());
    return {*std::max_element(errs.begin(), errs.end()), errs[errs.size() / 2]};
}

// n arguments from [lo, hi), uniform or log-uniform; arguments below 0.5 keep at least 0.01
// from the integers, where the reflection meets its poles.
std::vector<double> sample(double lo, double hi, bool log_uniform, int n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(log_uniform ? std::log(lo) : lo, log_uniform ? std::log(hi) : hi);
    std::vector<double> xs;
    while (static_cast<int>(xs.size()) < n) {
        const double x = log_uniform ? std::exp(u(rng)) : u(rng);
        if (x >= lo && x < hi && !(x < 0.5 && std::fabs(x - std::nearbyint(x)) < 0.01)) xs.push_back(x);
    }
    return xs;
}

// The Markdown table for n arguments per range.
std::string table(int n) {
    const Reference gamma_ref = [](mpfr_t o, double x) { mpfr_fn(o, x, mpfr_gamma); };
    const Reference lgamma_ref = [](mpfr_t o, double x) { mpfr_fn(o, x, mpfr_lngamma); };
    const Reference digamma_ref = [](mpfr_t o, double x) { mpfr_fn(o, x, mpfr_digamma); };
    const Candidate gamma = [](double x) { double r; zgamma(&r, x); return r; };
    const Candidate digamma = [](double x) { double r; zdigama(&r, x); return r; };
    const Candidate trigamma = [](double x) { std::int32_t s; return ztigama(&s, x); };
    struct Row {
        const char *name;
        double lo, hi;
        bool log_uniform;
        Reference ref;
        Candidate f, libm;
    } rows[] = {
        {"GAMMA", 0.5, 20.0, false, gamma_ref, gamma, [](double x) { return std::tgamma(x); }},
        {"GAMMA", 20.0, 171.6, false, gamma_ref, gamma, [](double x) { return std::tgamma(x); }},
        {"GAMMA", -20.0, 0.5, false, gamma_ref, gamma, [](double x) { return std::tgamma(x); }},
        {"GAMMA", -170.6, -20.0, false, gamma_ref, gamma, [](double x) { return std::tgamma(x); }},
        {"LGAMMA", 1e-300, 0.5, true, lgamma_ref, zlgamma, [](double x) { return std::lgamma(x); }},
        {"LGAMMA", 0.5, 3.0, false, lgamma_ref, zlgamma, [](double x) { return std::lgamma(x); }},
        {"LGAMMA", 3.0, 15.0, false, lgamma_ref, zlgamma, [](double x) { return std::lgamma(x); }},
        {"LGAMMA", 15.0, 1e300, true, lgamma_ref, zlgamma, [](double x) { return std::lgamma(x); }},
        {"DIGAMMA", 0.5, 20.0, false, digamma_ref, digamma, nullptr},
        {"DIGAMMA", 20.0, 1e15, true, digamma_ref, digamma, nullptr},
        {"DIGAMMA", -20.0, 0.5, false, digamma_ref, digamma, nullptr},
        {"TRIGAMMA", 0.5, 25.0, false, trigamma_ref, trigamma, nullptr},
        {"TRIGAMMA", 25.0, 1e15, true, trigamma_ref, trigamma, nullptr},
        {"TRIGAMMA", -20.0, 0.5, false, trigamma_ref, trigamma, nullptr},
    };
    std::string out = "| Function | Range | Samples | Max ulps | Median ulps | C library | Max ulps | Median ulps |\n"
                      "|---|---|---|---|---|---|---|---|\n";
    std::uint64_t seed = 1;
    char line[256];
    for (const Row &r : rows) {
        const std::vector<double> xs = sample(r.lo, r.hi, r.log_uniform, n, seed++);
        const Stats s = measure(xs, r.ref, r.f);
        std::snprintf(line, sizeof line, "| %s | [%g, %g)%s | %d | %.3g | %.3g |", r.name, r.lo, r.hi,
                      r.log_uniform ? " log" : "", n, s.max, s.median);
        out += line;
        if (r.libm) {
            const Stats l = measure(xs, r.ref, r.libm);
            std::snprintf(line, sizeof line, " %s | %.3g | %.3g |\n", r.name[0] == 'G' ? "tgamma" : "lgamma", l.max, l.median);
            out += line;
        } else {
            out += " — | | |\n";
        }
    }
    return out;
}

// The table of a document: from its header line through the last row after it; npos when the
// document has none.
std::pair<std::size_t, std::size_t> table_in(const std::string &doc) {
    std::size_t at = doc.find("\n| Function | Range |");
    if (at == std::string::npos) return {at, at};
    std::size_t end = ++at;
    while (end < doc.size() && doc[end] == '|') {
        const std::size_t eol = doc.find('\n', end);
        end = eol == std::string::npos ? doc.size() : eol + 1;
    }
    return {at, end};
}

// Checks the table of the document at path against the one this build measures, or writes it in.
int document(const char *path, bool update) {
    std::string doc;
    {
        std::ifstream in(path, std::ios::binary);
        doc.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto [at, end] = table_in(doc);
    if (at == std::string::npos) {
        std::fprintf(stderr, "accuracy: %s holds no accuracy table\n", path);
        return 2;
    }
    const std::string want = table(DOC_SAMPLES);
    if (doc.compare(at, end - at, want) == 0) {
        std::printf("%s is current\n", path);
        return 0;
    }
    if (!update) {
        std::fprintf(stderr, "%s is stale (refresh: cmake --build build --target update-docs); it says\n%s\nwhere this build measures\n%s",
                     path, doc.substr(at, end - at).c_str(), want.c_str());
        return 1;
    }
    doc.replace(at, end - at, want);
    std::ofstream(path, std::ios::binary) << doc;
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string_view mode = argc > 1 ? argv[1] : "";
    if ((mode == "check" || mode == "update") && argc == 3) return document(argv[2], mode == "update");
    std::fputs(table(argc > 1 ? std::atoi(argv[1]) : DOC_SAMPLES).c_str(), stdout);
    return 0;
}
