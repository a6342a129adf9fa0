// Accuracy of GAMMA, LGAMMA, DIGAMMA and TRIGAMMA (the routines zgamma, zlgamma, zdigama,
// ztigama) in ulps against a 256-bit MPFR reference, beside the C library's tgamma and lgamma,
// over fixed ranges of random arguments. Prints the Markdown table of docs/accuracy.md.
//
// Not part of the default build. With libmpfr-dev installed and the library built in build/:
//   g++ -O2 -std=c++20 -Iinclude tools/accuracy.cpp -o build/accuracy -Lbuild -lqvewumth \
//       -Wl,-rpath,$PWD/build -lmpfr -lgmp
//   build/accuracy [samples per range, default 20000]
#include <mpfr.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "qvfnc.h"

namespace {

constexpr mpfr_prec_t PREC = 256;

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
    for (unsigned k = 1; k <= 40; ++k) {
        // B2k = (-1)^(k+1) 2 (2k)! zeta(2k) / (2 pi)^(2k)
        mpfr_zeta_ui(b, 2 * k, MPFR_RNDN);
        mpfr_t f, tp;
        mpfr_inits2(PREC, f, tp, static_cast<mpfr_ptr>(nullptr));
        mpfr_fac_ui(f, 2 * k, MPFR_RNDN);
        mpfr_mul(b, b, f, MPFR_RNDN);
        mpfr_mul_ui(b, b, 2, MPFR_RNDN);
        mpfr_const_pi(tp, MPFR_RNDN);
        mpfr_mul_ui(tp, tp, 2, MPFR_RNDN);
        mpfr_pow_ui(tp, tp, 2 * k, MPFR_RNDN);
        mpfr_div(b, b, tp, MPFR_RNDN);
        if (k % 2 == 0) mpfr_neg(b, b, MPFR_RNDN);
        mpfr_mul(b, b, pw, MPFR_RNDN);
        mpfr_add(s, s, b, MPFR_RNDN);
        mpfr_mul(pw, pw, term, MPFR_RNDN);
        mpfr_clears(f, tp, static_cast<mpfr_ptr>(nullptr));
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

}  // namespace

int main(int argc, char **argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 20000;
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
    std::printf("| Function | Range | Samples | Max ulps | Median ulps | C library | Max ulps | Median ulps |\n");
    std::printf("|---|---|---|---|---|---|---|---|\n");
    std::uint64_t seed = 1;
    for (const Row &r : rows) {
        const std::vector<double> xs = sample(r.lo, r.hi, r.log_uniform, n, seed++);
        const Stats s = measure(xs, r.ref, r.f);
        std::printf("| %s | [%g, %g)%s | %d | %.3g | %.3g |", r.name, r.lo, r.hi, r.log_uniform ? " log" : "", n,
                    s.max, s.median);
        if (r.libm) {
            const Stats l = measure(xs, r.ref, r.libm);
            std::printf(" %s | %.3g | %.3g |\n", r.name[0] == 'G' ? "tgamma" : "lgamma", l.max, l.median);
        } else {
            std::printf(" — | | |\n");
        }
        std::fflush(stdout);
    }
}
