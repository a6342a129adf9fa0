#include "ordered.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audit.hpp"
#include "qv/values.hpp"

namespace qvhost {

#ifndef NDEBUG
void audit_failed(const char *what, const char *fault) noexcept {
    std::fprintf(stderr, "qvhost: %s: %s\n", what, fault);
    std::abort();
}
#endif

const char *OrderSet::check() const noexcept {
    if (in_array_ ? treap_.size() != 0 : array_.size() != 0) return "the form not in use holds values";
    return in_array_ ? array_.check() : treap_.check();
}

void OrderedWindow::count(double x, bool in) noexcept {
    auto step = [in](std::size_t &c) { in ? ++c : --c; };
    const int kind = qv::missing_kind(x);
    if (kind > 0) {
        step(kinds_[kind]);
        step(missing_);
        if (qv::bits_of(x) != qv::bits_of(qv::missing_value(kind - 1))) step(odd_);
    } else if (x == 0.0) {
        step(std::signbit(x) ? neg_zero_ : pos_zero_);
    }
}

void OrderedWindow::add(double x, std::uint64_t seq) noexcept {
    count(x, true);
    if (!qv::is_missing(x)) set_.insert(x, seq);
}

void OrderedWindow::remove(double x, std::uint64_t seq) noexcept {
    count(x, false);
    if (!qv::is_missing(x)) set_.erase(x, seq);
}

void OrderedWindow::replace(double out, std::uint64_t out_seq, double in, std::uint64_t in_seq) noexcept {
    count(out, false);
    count(in, true);
    const bool going = !qv::is_missing(out), coming = !qv::is_missing(in);
    if (going && coming) {
        set_.replace(out, out_seq, in, in_seq);
        return;
    }
    if (going) set_.erase(out, out_seq);
    if (coming) set_.insert(in, in_seq);
}

void OrderedWindow::clear() noexcept {
    set_.clear();
    std::memset(kinds_, 0, sizeof kinds_);
    missing_ = pos_zero_ = neg_zero_ = odd_ = 0;
}

double OrderedWindow::kth_missing(std::size_t k) const {
    for (int kind = 1; kind <= 28; ++kind) {
        if (k <= kinds_[kind]) return qv::missing_value(kind - 1);
        k -= kinds_[kind];
    }
    return qv::MISSING_DOT;
}

const char *OrderedWindow::check() const noexcept {
    std::size_t missing = 0;
    for (int kind = 1; kind <= 28; ++kind) missing += kinds_[kind];
    if (kinds_[0] != 0 || missing != missing_) return "the missing values by kind do not add up to the missing";
    if (odd_ > missing_) return "more missing values of unusual bits than missing values";
    std::size_t pos = 0, neg = 0;
    for (std::size_t k = 1; k <= set_.size(); ++k) {
        const double x = set_.kth(k);
        if (qv::is_missing(x) || x != x) return "the set holds a missing value";
        if (x == 0.0) ++(std::signbit(x) ? neg : pos);
    }
    if (pos != pos_zero_ || neg != neg_zero_) return "the zeros counted are not the zeros held";
    return set_.check();
}

}  // namespace qvhost
